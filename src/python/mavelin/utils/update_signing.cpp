// sign_folder(update=True): the stored certificate's node table and file metadata, and the
// fingerprints of a fresh walk taken over from them where the stat data says nothing changed.
#include "python/mavelin/utils/update_signing.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "engine/certificate_format.h"
#include "engine/metadata/member.h"
#include "engine/zip/reader.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"
#include "python/certificate/reader.h"

namespace mavelin::update_signing {

int load_stored(PyObject* path, Stored& out, std::string& why) {
    std::string archive;
    if (py::encode_path(path, archive) < 0) return -1;
    if (::access(archive.c_str(), F_OK) != 0 && errno == ENOENT) {
        why = "there is no certificate to update";
        return 0;
    }
    const int loaded = certificate::load_table(path, out.nodes);
    if (loaded < 0) return -1;
    if (loaded == 0) {
        why = "the certificate can't be read";
        return 0;
    }
    std::atomic<bool> cancel{false};
    zip::Member member;
    zip::Error err;
    zip::Status status = zip::Status::kOk;
    std::string refused;
    auto work = [&]() noexcept {
        status =
            zip::read_member(archive, certificate_format::kMetadataName, &member, &err, &cancel);
        if (status != zip::Status::kOk) return;
        try {
            refused = metadata::read_member(reinterpret_cast<const char*>(member.data.data()),
                                            member.data.size(), out.stats);
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
        return 0;
    }
    if (out.stats.chunk_size != certificate_format::kProcedureChunkSize ||
        out.stats.step != certificate_format::kProcedureStep ||
        (!out.nodes.empty() &&
         out.nodes.rows() != static_cast<std::size_t>(certificate_format::kProcedureStep))) {
        why = "it was made with another chunk size or transformation step";
        return 0;
    }
    if (out.stats.size() != out.nodes.size()) {
        why = "its file metadata does not list its files";
        return 0;
    }
    return 1;
}

}  // namespace mavelin::update_signing
