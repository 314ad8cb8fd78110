// The certificate a run reads, opened once and shared by every reading of it on the thread.
#include "python/certificate/pinned_archive.h"

#include <new>

#include "python/capi/paths.h"

namespace mavelin::certificate {
namespace {

thread_local PinnedArchive* pinned = nullptr;  // the calling thread's pin, or null

}  // namespace

PinnedArchive::~PinnedArchive() {
    if (!active_) return;
    pinned = previous_;
}

int PinnedArchive::pin(PyObject* path) {
    if (py::encode_path(path, path_) < 0) return -1;
    zip::Error err;
    try {
        source_ = zip::open_archive(path_, &err);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    if (!source_ || active_) return 0;
    active_ = true;
    previous_ = pinned;
    pinned = this;
    return 0;
}

std::shared_ptr<zip::Source> archive_source(const std::string& path, zip::Error* err) {
    if (pinned && pinned->path_ == path) return pinned->source_;
    return zip::open_archive(path, err);
}

void expect_payload_digest(const std::string& path, const hash::sha256::Digest& digest) {
    if (pinned && pinned->path_ == path) pinned->payload_digest_ = digest;
}

std::optional<hash::sha256::Digest> expected_payload_digest(const std::string& path) {
    if (pinned && pinned->path_ == path) return pinned->payload_digest_;
    return std::nullopt;
}

}  // namespace mavelin::certificate
