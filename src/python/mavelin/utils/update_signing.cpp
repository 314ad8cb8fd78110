// sign_folder(update=True): the stored certificate's node table and file metadata, and the
// fingerprints of a fresh walk taken over from them where the stat data says nothing changed.
#include "python/mavelin/utils/update_signing.h"

#include <unistd.h>

#include <cerrno>

#include "engine/certificate_format.h"
#include "python/capi/paths.h"
#include "python/certificate/metadata_reader.h"
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
    const int kept = certificate::load_metadata(path, out.stats, why);
    if (kept <= 0) return kept;
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
