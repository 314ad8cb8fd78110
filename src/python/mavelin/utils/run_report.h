// The JSON report of a run (--report) and the counts of findings by kind (--summary).
#pragma once

#include <array>
#include <cstddef>

#include "python/capi/handle.h"

namespace mavelin::run_report {

// The kinds of findings, in the order of the counts.
inline constexpr std::array<const char*, 8> kKinds = {"modified",     "missing",    "new",
                                                      "moved",        "unreadable", "not_authentic",
                                                      "out_of_order", "metadata"};

// Findings per kind of a list of (kind, path, other path) tuples. -1 with an exception set.
int count_kinds(PyObject* findings, std::array<long long, kKinds.size()>& counts);

// What one run reports: the report's document and the library functions' result are made from
// it. Null objects are written as null (lists as []).
struct Facts {
    const char* command = nullptr;  // "sign_folder" or "validate_certificate"
    py::Ref directory;              // as given
    py::Ref certificate;            // the certificate written or read
    const char* match = nullptr;    // validation: "path" or "position"; null for signing
    bool passed = false;            // the verdict
    py::Ref files;                  // files in the tree (an int)
    py::Ref bytes;                  // bytes fingerprinted (an int)
    py::Ref start;                  // datetime of the start; `end` - `start` gives the seconds
    py::Ref end;
    py::Ref failed_files;  // files that failed (an int)
    py::Ref findings;      // list of (kind, path, other path or None)
    py::Ref uncertified;   // list of folder paths below the top whose files were left out

    // List of paths below the top of the links whose target was missing.
    py::Ref uncertified_links;
    // Certified files below folders that could not be read (an int).
    py::Ref not_checked;
    // The certificate's signature (a dict of SignatureFacts::as_dict); null: not signed, and
    // the report has no "signature".
    py::Ref signature;
    // sign_folder(update=True): files read again and fingerprints taken over (ints), or null.
    py::Ref reread;
    py::Ref reused;
};

// end - start in seconds, as a float object.
py::Ref seconds(const Facts& facts);

// Writes the report to `destination`: "-" is standard output, anything else a path, replaced
// atomically. -1 with an exception set (OSError for the file).
int write(PyObject* destination, const Facts& facts);

}  // namespace mavelin::run_report
