// Fingerprint pass over a FileManager's node table, shared by signing and validation.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::file_managing {

// Fingerprints every node of manager._file_nodes. With `all_or_none`, the table is
// updated only when every file could be read; otherwise each readable node is replaced
// and the others stay as they were. Every file that could not be read is recorded in
// manager._fingerprint_errors as a (file_path, exception) pair; manager._fingerprinted_bytes is
// the number of bytes the engine fingerprinted (0 when the table went through the Python-level
// work function instead). -1 with an exception set on failures of the pass itself (memory, bad
// table).
int fingerprint_table(PyObject* manager, bool all_or_none);

// What a procedure asks of the fingerprint passes it runs on its own thread.
struct PassSettings {
    unsigned threads = 0;         // hashing threads; 0: MAX_PROCESSES of mavelin.core.file_managing
    bool progress = false;        // a progress line on standard error, if that is a terminal
    PyObject* cluster = nullptr;  // borrowed (distributed.Client, logger): run on that cluster
};

// Makes `settings` apply to the passes run on this thread until the scope ends (scopes nest).
class PassSettingsScope {
  public:
    explicit PassSettingsScope(const PassSettings& settings) noexcept;
    ~PassSettingsScope();
    PassSettingsScope(const PassSettingsScope&) = delete;
    PassSettingsScope& operator=(const PassSettingsScope&) = delete;

  private:
    const PassSettings* outer_;
};

}  // namespace mavelin::file_managing
