// The SHA-256 hash object returned by mavelin.core.hashing._generate_hash.
#include "python/mavelin/core/hash_object.h"

#include <mutex>
#include <new>

#include "engine/hash/sha256.h"
#include "python/capi/common.h"

namespace mavelin::hash_object {
namespace {

// Inputs at least this long are hashed with the interpreter lock released.
constexpr Py_ssize_t kReleaseThreshold = 2048;

struct HashObject {
    PyObject_HEAD
    hash::sha256::Hasher hasher;
    std::mutex lock;  // serialises updates that run without the interpreter lock
};

PyObject* g_type = nullptr;

int consume(HashObject* self, PyObject* data) {
    if (PyUnicode_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "Strings must be encoded before hashing");
        return -1;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return -1;
    if (view.len >= kReleaseThreshold) {
        Py_BEGIN_ALLOW_THREADS
        std::lock_guard<std::mutex> guard(self->lock);
        self->hasher.update(view.buf, static_cast<size_t>(view.len));
        Py_END_ALLOW_THREADS
    } else {
        std::lock_guard<std::mutex> guard(self->lock);
        self->hasher.update(view.buf, static_cast<size_t>(view.len));
    }
    PyBuffer_Release(&view);
    return 0;
}

HashObject* allocate() {
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type());
    if (!tp) return nullptr;
    PyObject* raw = tp->tp_alloc(tp, 0);
    if (!raw) return nullptr;
    HashObject* self = reinterpret_cast<HashObject*>(raw);
    new (&self->hasher) hash::sha256::Hasher();
    new (&self->lock) std::mutex();
    return self;
}

void dealloc(PyObject* obj) {
    HashObject* self = reinterpret_cast<HashObject*>(obj);
    PyTypeObject* tp = Py_TYPE(obj);
    self->lock.~mutex();
    self->hasher.~Hasher();
    tp->tp_free(obj);
    Py_DECREF(tp);
}

hash::sha256::Digest current(HashObject* self) {
    std::lock_guard<std::mutex> guard(self->lock);
    return self->hasher.finish();
}

PyObject* update(PyObject* self, PyObject* data) {
    if (consume(reinterpret_cast<HashObject*>(self), data) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* digest(PyObject* self, PyObject*) {
    hash::sha256::Digest d = current(reinterpret_cast<HashObject*>(self));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.data()), 32);
}

PyObject* hexdigest(PyObject* self, PyObject*) {
    hash::sha256::Digest d = current(reinterpret_cast<HashObject*>(self));
    char hex[64];
    hash::sha256::to_hex(d, hex);
    return py::ascii_text(hex, 64).release();
}

PyObject* copy(PyObject* obj, PyObject*) {
    HashObject* self = reinterpret_cast<HashObject*>(obj);
    HashObject* clone = allocate();
    if (!clone) return nullptr;
    std::lock_guard<std::mutex> guard(self->lock);
    clone->hasher = self->hasher;
    return reinterpret_cast<PyObject*>(clone);
}

PyObject* get_name(PyObject*, void*) {
    return PyUnicode_FromString("sha256");
}
PyObject* get_digest_size(PyObject*, void*) {
    return PyLong_FromLong(32);
}
PyObject* get_block_size(PyObject*, void*) {
    return PyLong_FromLong(64);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<sha256 hash object @ %p>", self);
}

PyMethodDef kMethods[] = {
    {"update", update, METH_O, "Feeds more bytes to the hash."},
    {"digest", digest, METH_NOARGS, "The 32-byte digest of the data fed so far."},
    {"hexdigest", hexdigest, METH_NOARGS, "The digest as 64 lowercase hexadecimal digits."},
    {"copy", copy, METH_NOARGS, "An independent copy of the hash object."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"digest_size", get_digest_size, nullptr, nullptr, nullptr},
    {"block_size", get_block_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"mavelin.core.hashing.sha256", sizeof(HashObject), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

}  // namespace

PyObject* type() {
    if (!g_type) g_type = PyType_FromSpec(&kSpec);
    return g_type;
}

PyObject* create(PyObject* data) {
    HashObject* self = allocate();
    if (!self) return nullptr;
    if (data && consume(self, data) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace mavelin::hash_object
