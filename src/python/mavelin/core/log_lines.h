// The log lines the scan and the findings share: paths shown as text, what a scan left out or
// could not read.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::log_lines {

// logger.<level>(prefix + display_text(value) + suffix)
int log_with(PyObject* logger, const char* level, const char* prefix, PyObject* value,
             const char* suffix);
// "<what> <path> can't be read: <reason>" (`what` being "File" or "Folder"), both shown as
// display_text does. The reason is the strerror of the OS error `exc`, else str(exc); with no
// `exc` (null), that no fingerprint was computed.
py::Ref unreadable_message(PyObject* path, PyObject* exc, const char* what = "File");
// "Report <path> can't be written: <reason>", the reason taken from `exc` as above.
py::Ref unwritable_report_message(PyObject* report, PyObject* exc);
// What a scan found, logged: one WARNING per folder of the list `uncertified` ("Files in P are
// not certified: the folder is named Certificates."), then one per link of the list `links`
// ("Link P is not certified: its target is missing or outside the folder."); when `scan_errors` (a
// sequence of (path, OSError) pairs) is given, every folder the scan could not read is logged as an
// ERROR and, if there was any, the run ends (exit request); then a `count` of 0 files is logged as
// an ERROR and ends the run. 0, or -1 with an exception set.
int report_scan(PyObject* logger, PyObject* uncertified, PyObject* links, PyObject* scan_errors,
                PyObject* count);
// manager._parse_directory(), then report_scan of manager._uncertified_folders,
// manager._uncertified_links (none when the manager has no such list), with `folders_fatal`
// manager._scan_errors, and `count` = manager.files_count.
int scan(PyObject* manager, PyObject* logger, py::Ref& count, bool folders_fatal);
// holder._uncertified_links (of a FileManager or a validator), or a new empty list when it has
// none (a class of a caller's own making).
py::Ref uncertified_links_of(PyObject* holder);

}  // namespace mavelin::log_lines
