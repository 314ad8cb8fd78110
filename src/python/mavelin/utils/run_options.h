// The arguments of a run, as the procedures, the library functions and (through the procedures)
// the command line take them: one parser, one table of keywords. A new option is one field here
// and one row of the table in run_options.cpp.
#pragma once

#include "engine/fs/cache_reads.h"
#include "python/capi/handle.h"

namespace mavelin::procedures {

// The calls that take a run's arguments.
enum class Call : unsigned {
    kSignFolder = 1,  // mavelin.utils.sign_folder(dir_path, mode='default', *, ...)
    kValidateCertificate =
        2,          // mavelin.utils.validate_certificate(dir_path, certificate_file, *, ...)
    kSign = 4,      // mavelin.sign(dir, *, ...)
    kValidate = 8,  // mavelin.validate(dir, certificate=None, *, ...)
};

// Borrowed from the call's arguments; what a call does not take keeps its default.
struct RunOptions {
    PyObject* dir_path = nullptr;
    PyObject* mode = nullptr;  // signing: "silent" writes no INFO lines; null: default
    // validation: None or empty: search for it; signing with update: the certificate to take
    // fingerprints from (None: output, or the tree's own)
    PyObject* certificate = Py_None;
    const char* match = "path";     // validation: "path" or "position"
    bool summary = false;           // validation: log the counts of findings by kind
    PyObject* report = Py_None;     // a JSON report's path, or "-"
    PyObject* jobs = Py_None;       // hashing threads, None: one per processor
    PyObject* output = Py_None;     // signing: the certificate's path elsewhere
    bool progress = false;          // the progress line on a terminal
    PyObject* scheduler = Py_None;  // a Dask scheduler's address, or "auto"
    PyObject* client = Py_None;     // a distributed.Client
    PyObject* key = Py_None;        // signing: the SSH key to sign the certificate with
    // Validation: the trusted signers' file (None: MAVELIN_ALLOWED_SIGNERS, when set), and the
    // principal (a str) the signer must be.
    PyObject* allowed_signers = Py_None;
    PyObject* identity = Py_None;
    bool update = false;          // signing: re-read only the files whose stat data changed
    bool check_metadata = false;  // validation: also compare the files' stored metadata
    bool keep_cache = false;      // leave the pages the run reads in the page cache
    bool direct = false;          // read with direct I/O, bypassing cached copies
};

// What the reads of a run do with the page cache, as its options ask.
fs::ReadMode read_mode(const RunOptions& options);

// The INFO line naming the refusal of direct I/O (direct=True where a file system refused it).
inline constexpr const char* kDirectIoRefused =
    "Direct I/O is refused by the file system here: files were read through the page cache.";

// Parses the arguments of `call` into `options`: positional ones in order or by name, the rest by
// keyword only. 0, or -1 with TypeError (a wrong call) or ValueError (a match not known) set.
int parse(Call call, PyObject* args, PyObject* kwargs, RunOptions& options);

}  // namespace mavelin::procedures
