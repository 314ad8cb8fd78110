// The description member of a certificate (Certificate.json): what the archive holds and of which
// tree, with the SHA-256 of every other member's exact bytes, written as one JSON document.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/hash/sha256/sha256.h"

namespace mavelin::report {

struct MemberDigest {
    std::string name;  // ASCII: a name of certificate_format.h
    hash::sha256::Digest sha256;
};

struct CertificateDescription {
    std::string tool_version;  // ASCII
    int64_t created = 0;       // seconds since the epoch, written as UTC "YYYY-MM-DDTHH:MM:SSZ"
    std::u32string folder;     // the signed folder's name (code points, as a file name decodes)
    uint64_t files = 0;
    uint64_t bytes = 0;
    int chunk_size = 0;
    int step = 0;
    std::vector<MemberDigest> members;  // in archive order
};

// The document, keys in this order: format, tool_version, created, folder, files, bytes,
// chunk_size, transformation_step, sha256 (an object: member name -> lowercase hex digest).
std::string write_description(const CertificateDescription& d);

}  // namespace mavelin::report
