// The description member of a certificate written as JSON.
#include "engine/report/description.h"

#include <time.h>

#include <ctime>

#include "engine/certificate_format.h"
#include "engine/report/json_writer.h"

namespace mavelin::report {

std::string write_description(const CertificateDescription& d) {
    JsonWriter w;
    w.begin_object();
    w.key("format");
    w.integer(certificate_format::kDescriptionFormat);
    w.key("tool_version");
    w.ascii(d.tool_version);
    w.key("created");
    const time_t t = static_cast<time_t>(d.created);
    struct tm tm {};
    char stamp[40] = "";
    if (::gmtime_r(&t, &tm)) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    w.ascii(stamp);
    w.key("folder");
    w.text(d.folder);
    w.key("files");
    w.integer(static_cast<int64_t>(d.files));
    w.key("bytes");
    w.integer(static_cast<int64_t>(d.bytes));
    w.key("chunk_size");
    w.integer(d.chunk_size);
    w.key("transformation_step");
    w.integer(d.step);
    w.key("sha256");
    w.begin_object();
    for (const MemberDigest& m : d.members) {
        char hex[64];
        hash::sha256::to_hex(m.sha256, hex);
        w.key(m.name);
        w.ascii(std::string_view(hex, sizeof hex));
    }
    w.end_object();
    w.end_object();
    std::string out = w.str();
    out += '\n';
    return out;
}

}  // namespace mavelin::report
