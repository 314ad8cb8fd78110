// The SHA-256 hash object returned by mavelin.core.hashing._generate_hash.
#include "python/mavelin/core/hash_object.h"

#include <mutex>
#include <new>

#include "engine/hash/sha256/sha256.h"
#include "python/capi/entry.h"
#include "python/capi/gil.h"
#include "python/capi/state.h"
#include "python/capi/text.h"

namespace mavelin::hash_object {
namespace {

// Inputs at least this long are hashed with the interpreter lock released.
constexpr Py_ssize_t kReleaseThreshold = 2048;

// One object may be shared by threads. `lock` guards `hasher`, and it is only ever waited
// for without the interpreter lock (py::lock_holding_gil, or a py::GilRelease declared
// before the guard), so a thread that holds it never waits for a thread that holds the
// interpreter lock and waits for it in turn.
struct HashObject {
    PyObject_HEAD
    hash::sha256::Hasher hasher;
    std::mutex lock;
};

// Owns a buffer view; releases it on every path.
class BufferView {
  public:
    BufferView() noexcept = default;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    int get(PyObject* data) {
        if (PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE) < 0) return -1;
        held_ = true;
        return 0;
    }
    const void* data() const noexcept { return view_.buf; }
    Py_ssize_t size() const noexcept { return view_.len; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

int consume(HashObject* self, PyObject* data) {
    if (PyUnicode_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "Strings must be encoded before hashing");
        return -1;
    }
    BufferView view;
    if (view.get(data) < 0) return -1;
    const size_t n = static_cast<size_t>(view.size());
    if (view.size() >= kReleaseThreshold) {
        py::GilRelease released;
        std::lock_guard<std::mutex> guard(self->lock);  // ends before the lock is taken back
        self->hasher.update(view.data(), n);
    } else {
        std::unique_lock<std::mutex> guard = py::lock_holding_gil(self->lock);
        self->hasher.update(view.data(), n);
    }
    return 0;
}

HashObject* as_hash(PyObject* obj) {
    return reinterpret_cast<HashObject*>(obj);
}

// A new object in the state of a fresh hash.
py::Ref allocate() {
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type());
    if (!tp) return {};
    py::Ref obj = py::Ref::steal(tp->tp_alloc(tp, 0));
    if (!obj) return {};
    new (&as_hash(obj.get())->hasher) hash::sha256::Hasher();
    new (&as_hash(obj.get())->lock) std::mutex();
    return obj;
}

void dealloc(PyObject* obj) {
    HashObject* self = as_hash(obj);
    PyTypeObject* tp = Py_TYPE(obj);
    self->lock.~mutex();
    self->hasher.~Hasher();
    tp->tp_free(obj);
    Py_DECREF(tp);
}

hash::sha256::Digest current(HashObject* self) {
    std::unique_lock<std::mutex> guard = py::lock_holding_gil(self->lock);
    return self->hasher.finish();
}

PyObject* update(PyObject* self, PyObject* data) {
    if (consume(as_hash(self), data) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* digest(PyObject* self, PyObject*) {
    hash::sha256::Digest d = current(as_hash(self));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.data()), 32);
}

PyObject* hexdigest(PyObject* self, PyObject*) {
    hash::sha256::Digest d = current(as_hash(self));
    char hex[64];
    hash::sha256::to_hex(d, hex);
    return py::ascii_text(hex, 64).release();
}

PyObject* copy(PyObject* obj, PyObject*) {
    HashObject* self = as_hash(obj);
    py::Ref clone = allocate();
    if (!clone) return nullptr;
    std::unique_lock<std::mutex> guard = py::lock_holding_gil(self->lock);
    as_hash(clone.get())->hasher = self->hasher;
    return clone.release();
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
    py::method<update>("update", METH_O,
                       "update($self, data, /)\n--\n\n"
                       "Feeds the bytes-like object `data` to the hash."),
    py::method<digest>("digest", METH_NOARGS,
                       "digest($self, /)\n--\n\n"
                       "The 32-byte digest of the data fed so far."),
    py::method<hexdigest>("hexdigest", METH_NOARGS,
                          "hexdigest($self, /)\n--\n\n"
                          "The digest as 64 lowercase hexadecimal digits."),
    py::method<copy>("copy", METH_NOARGS,
                     "copy($self, /)\n--\n\n"
                     "An independent copy of the hash object."),
    py::kEndOfMethods,
};

PyGetSetDef kGetSet[] = {
    {"name", py::entry<get_name>, nullptr, "The name of the algorithm, 'sha256'.", nullptr},
    {"digest_size", py::entry<get_digest_size>, nullptr, "Size of the digest in bytes (32).",
     nullptr},
    {"block_size", py::entry<get_block_size>, nullptr, "Internal block size in bytes (64).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kTypeDoc[] =
    "A SHA-256 hash object, as returned by _generate_hash(data); it cannot be made directly.\n\n"
    "It behaves like hashlib.sha256 objects: update(), digest(), hexdigest(), copy(),\n"
    "and one object may be shared by threads.";

PyType_Slot kSlots[] = {
    py::slot<dealloc>(Py_tp_dealloc),
    py::slot<repr>(Py_tp_repr),
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {0, nullptr},
};

// Like hashlib's types, this one refuses to be instantiated: an object must start from
// _generate_hash so that its state is that of a fresh hash.
PyType_Spec kSpec = {"mavelin.core.hashing.sha256", sizeof(HashObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

}  // namespace

PyObject* type() {
    py::Ref& type = py::state().hash_type;
    if (!type) type = py::Ref::steal(PyType_FromSpec(&kSpec));
    return type.get();
}

PyObject* create(PyObject* data) {
    py::Ref self = allocate();
    if (!self) return nullptr;
    if (data && consume(as_hash(self.get()), data) < 0) return nullptr;
    return self.release();
}

}  // namespace mavelin::hash_object
