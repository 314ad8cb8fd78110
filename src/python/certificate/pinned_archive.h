// The certificate a run reads, opened once: while it is pinned, the signature check, the table
// and the records all read the one file that was opened, so that a certificate put in its place
// meanwhile is never read by half of the run.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/hash/sha256/sha256.h"
#include "engine/zip/reader.h"
#include "python/capi/handle.h"

namespace mavelin::certificate {

// The archive at `path` (encoded): the pinned one when it is that path, else opened now. Null
// with `err` set when it cannot be opened. May throw std::bad_alloc.
std::shared_ptr<zip::Source> archive_source(const std::string& path, zip::Error* err);

// The SHA-256 that the payload of the pinned archive at `path` has by its checked signature:
// recorded by the signature check, so that the readers of the table take only those bytes
// (the file may be written in place after the check). Nothing when `path` is not pinned.
void expect_payload_digest(const std::string& path, const hash::sha256::Digest& digest);
// That digest, when the archive at `path` is pinned and its signature was checked.
std::optional<hash::sha256::Digest> expected_payload_digest(const std::string& path);

// Pins the archive at a path for the calling thread while it lives (pins do not nest; the
// previous one is kept all the same).
class PinnedArchive {
  public:
    PinnedArchive() = default;
    ~PinnedArchive();
    PinnedArchive(const PinnedArchive&) = delete;
    PinnedArchive& operator=(const PinnedArchive&) = delete;

    // Opens the archive at `path` and pins it. 0, also when it cannot be opened (nothing is
    // pinned then: each reading opens the path and fails as it would have); -1 with an
    // exception set when `path` is no path.
    int pin(PyObject* path);

  private:
    friend std::shared_ptr<zip::Source> archive_source(const std::string&, zip::Error*);
    friend void expect_payload_digest(const std::string&, const hash::sha256::Digest&);
    friend std::optional<hash::sha256::Digest> expected_payload_digest(const std::string&);
    std::string path_;
    std::shared_ptr<zip::Source> source_;
    std::optional<hash::sha256::Digest> payload_digest_;
    PinnedArchive* previous_ = nullptr;
    bool active_ = false;
};

}  // namespace mavelin::certificate
