// Python exceptions for the outcomes of the engine's archive reader and writer.
#include "python/certificate/archive_errors.h"

#include "python/capi/errors.h"
#include "python/capi/import.h"

namespace mavelin::certificate {

void raise_archive_error(const zip::Error& err) {
    PyObject* type = PyExc_ValueError;  // borrowed
    py::Ref bad_zip;
    switch (err.status) {
        case zip::Status::kOk:
            PyErr_SetString(PyExc_SystemError, "archive error reported without a failure");
            return;
        case zip::Status::kOsError:
            py::set_os_error(err.os.code, err.os.path);
            return;
        case zip::Status::kNotZip:
        case zip::Status::kBadArchive:
        case zip::Status::kBadMember:
        case zip::Status::kBadCrc:
        case zip::Status::kBadData:
            bad_zip = py::import_attr("zipfile", "BadZipFile");
            if (!bad_zip) return;
            type = bad_zip.get();
            break;
        case zip::Status::kNoMember:
            type = PyExc_KeyError;
            break;
        case zip::Status::kUnsupported:
            type = PyExc_NotImplementedError;
            break;
        case zip::Status::kEncrypted:
        case zip::Status::kTooLarge:
            type = PyExc_RuntimeError;
            break;
        case zip::Status::kTruncated:
            type = PyExc_EOFError;
            break;
        case zip::Status::kBadName:
        case zip::Status::kBadOffset:
        case zip::Status::kBadInput:
        case zip::Status::kOutOfRange:
            type = PyExc_ValueError;
            break;
    }
    py::Ref message = py::Ref::steal(PyUnicode_DecodeUTF8(
        err.message.data(), static_cast<Py_ssize_t>(err.message.size()), "backslashreplace"));
    if (message) PyErr_SetObject(type, message.get());
}

}  // namespace mavelin::certificate
