// Paths between Python and the engine: file names encoded and decoded as the host does, joined
// as posixpath joins them.
#include "python/capi/paths.h"

#include <cstring>

#include "python/capi/import.h"

namespace mavelin::py {

Ref join(PyObject* a, PyObject* b) {
    Ref fn = import_attr("posixpath", "join");
    if (!fn) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), a, b, nullptr));
}

Ref join(PyObject* a, const char* b) {
    Ref text = Ref::steal(PyUnicode_FromString(b));
    return text ? join(a, text.get()) : Ref();
}

Ref decode_path(std::string_view bytes) {
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

int encode_path(PyObject* path, std::string& out) {
    Ref fs = Ref::steal(PyOS_FSPath(path));
    if (!fs) return -1;
    Ref bytes;
    if (PyUnicode_Check(fs.get())) {
        bytes = Ref::steal(PyUnicode_EncodeFSDefault(fs.get()));
        if (!bytes) return -1;
    } else {
        bytes = fs;
    }
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return -1;
    if (std::memchr(data, 0, static_cast<size_t>(len)) != nullptr) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return -1;
    }
    out.assign(data, static_cast<size_t>(len));
    return 0;
}

}  // namespace mavelin::py
