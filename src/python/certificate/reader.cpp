// Loading a certificate: the archive member, decoded by the restricted payload reader.
#include "python/certificate/reader.h"

#include <string>

#include "engine/zip/reader.h"
#include "python/capi/common.h"
#include "python/capi/gil.h"
#include "python/certificate/archive_errors.h"
#include "python/certificate/codec.h"
#include "python/mavelin/core/models.h"

namespace mavelin::certificate_reader {
namespace {

constexpr const char kMemberName[] = "Certificate.pk";

// Failures to open the archive or its member reach the caller as the archive error they
// are: OSError, KeyError for a missing member, BadZipFile for anything else unusable.
void set_open_error(const zip::Error& err) {
    if (err.status == zip::Status::kOsError || err.status == zip::Status::kNoMember ||
        err.status == zip::Status::kNotZip || err.status == zip::Status::kBadArchive ||
        err.status == zip::Status::kBadMember) {
        archive_errors::set(err);
        return;
    }
    py::Ref bad_zip = py::import_attr("zipfile", "BadZipFile");
    if (!bad_zip) return;
    py::Ref message = py::Ref::steal(PyUnicode_DecodeUTF8(
        err.message.data(), static_cast<Py_ssize_t>(err.message.size()), "backslashreplace"));
    if (message) PyErr_SetObject(bad_zip.get(), message.get());
}

}  // namespace

Result load(PyObject* certificate_path, py::Ref& table) {
    std::string path;
    if (py::encode_path(certificate_path, path) < 0) return Result::kError;
    zip::Member member;
    zip::Error err;
    const zip::Status status =
        py::without_gil([&] { return zip::read_member(path, kMemberName, &member, &err); });
    if (status == zip::Status::kTruncated || status == zip::Status::kBadCrc)
        return Result::kCorrupted;  // the member's data itself is damaged
    if (status != zip::Status::kOk) {
        set_open_error(err);
        return Result::kError;
    }
    PyObject* node_class = models::filenode_class();
    if (!node_class) return Result::kError;
    table = py::Ref::steal(certificate::load_node_table(
        reinterpret_cast<const char*>(member.data.data()), member.data.size(), node_class));
    if (table) return Result::kOk;
    // An interrupt or an exit request is no verdict on the certificate.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Result::kError;
    PyErr_Clear();
    return Result::kCorrupted;
}

}  // namespace mavelin::certificate_reader
