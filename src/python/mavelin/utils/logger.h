// What the command line's log set-up offers the commands besides configure_default_logger.
#pragma once

namespace mavelin::utils {

// --quiet: every handler of the root logger passes only ERROR records and the findings of a
// validation (the records carrying a `finding` attribute). 0, or -1 with an exception set.
int quiet_command_line_log();

}  // namespace mavelin::utils
