// The record of a failed system call that every part of the engine reports: errno and path.
#pragma once

#include <string>

namespace mavelin::fs {

// A failed system call: its errno (0: no failure) and the path it concerned (empty when none).
struct OsError {
    int code = 0;
    std::string path;
};

}  // namespace mavelin::fs
