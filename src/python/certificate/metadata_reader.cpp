// Reading the metadata member Certificate.files of a certificate, for re-signing and for the
// metadata checks of a validation.
#include "python/certificate/metadata_reader.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "engine/certificate_format.h"
#include "engine/metadata/member.h"
#include "engine/zip/reader.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"

namespace mavelin::certificate {

int load_metadata(PyObject* path, metadata::FileStats& out, std::string& why) {
    std::string archive;
    if (py::encode_path(path, archive) < 0) return -1;
    if (::access(archive.c_str(), F_OK) != 0 && errno == ENOENT) {
        why = "there is no certificate";
        return 0;
    }
    std::atomic<bool> cancel{false};
    zip::Member member;
    zip::Error err;
    zip::Status status = zip::Status::kOk;
    std::string refused;
    // The member is read whole within the archive reader's limits, then decoded within its size.
    auto work = [&]() noexcept {
        status =
            zip::read_member(archive, certificate_format::kMetadataName, &member, &err, &cancel);
        if (status != zip::Status::kOk) return;
        try {
            refused = metadata::read_member(reinterpret_cast<const char*>(member.data.data()),
                                            member.data.size(), out);
        } catch (const std::bad_alloc&) {
            refused = "out of memory";
        }
    };
    if (py::run_interruptible(work, cancel) < 0) return -1;
    if (status == zip::Status::kNoMember) {
        why = "the certificate keeps no file metadata";
        return 0;
    }
    if (status != zip::Status::kOk) {
        why = "its file metadata can't be read: " + err.message;
        return 0;
    }
    if (!refused.empty()) {
        why = "its file metadata is damaged: " + refused;
        out = metadata::FileStats();
        return 0;
    }
    return 1;
}

}  // namespace mavelin::certificate
