// Certificate payload codec: the node table to and from its pickle bytes through the engine's
// writer and reader.
#include "python/certificate/codec.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/pickle/node_table.h"
#include "engine/pickle/reader.h"
#include "engine/pickle/writer.h"
#include "python/capi/entry.h"
#include "python/capi/gc.h"
#include "python/capi/interruptible.h"
#include "python/capi/text.h"

namespace mavelin::certificate {

namespace pk = mavelin::pickle;

namespace {

// Deeper values are left to the host's pickle (a node table is 5 levels deep).
constexpr int kMaxDepth = 32;

enum : int { kDone = 0, kUnsupported = 1, kError = -1 };

pk::Identity identity(PyObject* o) {
    return reinterpret_cast<pk::Identity>(o);
}

// ------------------------------------------------------------------ writing

// The class as the host's pickler sees it. Anything that could send that pickler down
// another path (reduction hooks, slots, a metaclass, a copyreg entry, a class that is not
// found again by module and name) leaves the table to the host.
struct NodeClass {
    PyObject* cls = nullptr;
    PyTypeObject* type = nullptr;
    PyObject* module = nullptr;  // borrowed from the class dict
    py::Ref qualname;
};

int check_copyreg(const NodeClass& nc) {
    py::Ref name = py::Ref::steal(PyUnicode_FromString("copyreg"));
    if (!name) return kError;
    py::Ref copyreg = py::Ref::steal(PyImport_GetModule(name.get()));
    if (!copyreg) return PyErr_Occurred() ? kError : kUnsupported;
    py::Ref table = py::Ref::steal(PyObject_GetAttrString(copyreg.get(), "dispatch_table"));
    py::Ref registry = py::Ref::steal(PyObject_GetAttrString(copyreg.get(), "_extension_registry"));
    if (!table || !registry) {
        PyErr_Clear();
        return kUnsupported;
    }
    py::Ref key = py::Ref::steal(PyTuple_Pack(2, nc.module, nc.qualname.get()));
    if (!key) return kError;
    if (!PyDict_CheckExact(table.get()) || !PyDict_CheckExact(registry.get())) return kUnsupported;
    const int in_table = PyDict_Contains(table.get(), nc.cls);
    const int in_registry = PyDict_Contains(registry.get(), key.get());
    if (in_table < 0 || in_registry < 0) return kError;
    return (in_table || in_registry) ? kUnsupported : kDone;
}

int check_class(PyObject* cls, NodeClass& nc) {
    if (!PyType_Check(cls) || Py_TYPE(cls) != &PyType_Type) return kUnsupported;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (tp->tp_base != &PyBaseObject_Type || tp->tp_itemsize != 0 || !tp->tp_mro ||
        PyTuple_GET_SIZE(tp->tp_mro) != 2 || !tp->tp_dict)
        return kUnsupported;
    static const char* const kHooks[] = {"__reduce_ex__",    "__reduce__",        "__getstate__",
                                         "__getnewargs__",   "__getnewargs_ex__", "__slots__",
                                         "__getattribute__", "__getattr__",       "__class__"};
    for (const char* hook : kHooks) {
        if (PyDict_GetItemString(tp->tp_dict, hook)) return kUnsupported;
    }
    PyObject* slotnames = PyDict_GetItemString(tp->tp_dict, "__slotnames__");
    if (slotnames && !(PyList_CheckExact(slotnames) && PyList_GET_SIZE(slotnames) == 0))
        return kUnsupported;
    nc.cls = cls;
    nc.type = tp;
    nc.module = PyDict_GetItemString(tp->tp_dict, "__module__");
    nc.qualname = py::Ref::steal(PyObject_GetAttrString(cls, "__qualname__"));
    if (!nc.qualname) return kError;
    PyObject* qual = nc.qualname.get();
    if (!nc.module || !PyUnicode_CheckExact(nc.module) || !PyUnicode_CheckExact(qual) ||
        PyUnicode_FindChar(qual, '.', 0, PyUnicode_GET_LENGTH(qual), 1) != -1)
        return kUnsupported;
    PyObject* mod = PyDict_GetItemWithError(PyImport_GetModuleDict(), nc.module);
    if (!mod) return PyErr_Occurred() ? kError : kUnsupported;
    if (!PyModule_CheckExact(mod)) return kUnsupported;
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(mod), qual);
    if (found != cls) return PyErr_Occurred() ? kError : kUnsupported;
    return check_copyreg(nc);
}

// Walks the table in the host pickler's order. Every memoized object is held until the end,
// as the host's memo holds it, so no address is reused while it serves as an identity.
class Walker {
  public:
    explicit Walker(const NodeClass& nc) : nc_(nc) {}
    // Where finished pieces of the stream go while the table's items are written (optional).
    const std::function<int(std::string_view)>* sink = nullptr;
    int flush(bool all);
    // `unshared`: the caller's container holds the only reference to `o`, so `o` occurs
    // once in the stream and needs no memo look-up.
    int save(PyObject* o, int depth, bool unshared = false);
    pk::PickleWriter w;

  private:
    int save_long(PyObject* o);
    int put_str(PyObject* o, pk::Identity id);
    int save_dict(PyObject* o, int depth, pk::Identity id);
    int save_list(PyObject* o, int depth, pk::Identity id);
    int save_node(PyObject* o, int depth, pk::Identity id);

    const NodeClass& nc_;
    std::vector<py::Ref> kept_;
};

int Walker::save(PyObject* o, int depth, bool unshared) {
    if (PyLong_CheckExact(o)) return save_long(o);
    if (depth > kMaxDepth) return kUnsupported;
    PyTypeObject* t = Py_TYPE(o);
    if (t != &PyUnicode_Type && t != &PyDict_Type && t != &PyList_Type && t != nc_.type)
        return kUnsupported;
    pk::Identity id = pk::kUnshared;
    if (unshared) {
        w.opcode_boundary();
    } else {
        id = identity(o);
        if (w.save_ref(id)) return kDone;
        kept_.push_back(py::Ref::borrow(o));
    }
    if (t == &PyUnicode_Type) return put_str(o, id);
    if (t == &PyDict_Type) return save_dict(o, depth, id);
    if (t == &PyList_Type) return save_list(o, depth, id);
    return save_node(o, depth, id);
}

int Walker::save_long(PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) return kError;
        w.save_int(static_cast<std::int64_t>(v));
        return kDone;
    }
#if PY_VERSION_HEX >= 0x030D0000
    const int flags = Py_ASNATIVEBYTES_LITTLE_ENDIAN;
    const Py_ssize_t need = PyLong_AsNativeBytes(o, nullptr, 0, flags);
    if (need < 0) return kError;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(need));
    if (PyLong_AsNativeBytes(o, buf.data(), need, flags) < 0) return kError;
#else
    const std::size_t nbits = _PyLong_NumBits(o);
    if (nbits == static_cast<std::size_t>(-1) && PyErr_Occurred()) return kError;
    const std::size_t nbytes = nbits / 8 + 1;
    if (nbytes > 0x7fffffff) return kUnsupported;  // the host refuses it with its own error
    std::vector<std::uint8_t> buf(nbytes);
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(o), buf.data(), nbytes, 1, 1) < 0)
        return kError;
#endif
    w.save_int(std::span<const std::uint8_t>(buf));
    return kDone;
}

int Walker::put_str(PyObject* o, pk::Identity id) {
    Py_ssize_t n = 0;
    if (PyUnicode_IS_COMPACT_ASCII(o)) {
        n = PyUnicode_GET_LENGTH(o);
        w.put_str(id, std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                                       static_cast<std::size_t>(n)));
        return kDone;
    }
    if (const char* s = PyUnicode_AsUTF8AndSize(o, &n)) {
        w.put_str(id, std::string_view(s, static_cast<std::size_t>(n)));
        return kDone;
    }
    // Lone surrogates: the host writes them in their 3-byte form.
    PyErr_Clear();
    py::Ref b = py::Ref::steal(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass"));
    if (!b) return kError;
    w.put_str(id, std::string_view(PyBytes_AS_STRING(b.get()),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(b.get()))));
    return kDone;
}

int Walker::save_dict(PyObject* o, int depth, pk::Identity id) {
    w.put_empty_dict(id);
    const Py_ssize_t size = PyDict_GET_SIZE(o);
    if (size == 0) return kDone;
    pk::Batch b = w.batch_begin(static_cast<std::size_t>(size), true);
    Py_ssize_t pos = 0, count = 0;
    PyObject *k, *v;
    while (PyDict_Next(o, &pos, &k, &v)) {
        const bool value_unshared = Py_REFCNT(v) == 1;
        py::Ref key = py::Ref::borrow(k), value = py::Ref::borrow(v);
        int r = save(key.get(), depth + 1);
        if (r == kDone) r = save(value.get(), depth + 1, value_unshared);
        if (r != kDone) return r;
        w.batch_item_done(b);
        ++count;
        if (depth == 0 && flush(false) != kDone) return kError;
    }
    if (count != size || PyDict_GET_SIZE(o) != size) return kUnsupported;  // changed underway
    w.batch_end(b);
    return kDone;
}

int Walker::save_list(PyObject* o, int depth, pk::Identity id) {
    w.put_empty_list(id);
    const Py_ssize_t size = PyList_GET_SIZE(o);
    if (size == 0) return kDone;
    pk::Batch b = w.batch_begin(static_cast<std::size_t>(size), false);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (PyList_GET_SIZE(o) != size) return kUnsupported;  // changed underway
        PyObject* raw = PyList_GET_ITEM(o, i);
        const bool item_unshared = Py_REFCNT(raw) == 1;
        py::Ref item = py::Ref::borrow(raw);
        const int r = save(item.get(), depth + 1, item_unshared);
        if (r != kDone) return r;
        w.batch_item_done(b);
    }
    if (PyList_GET_SIZE(o) != size) return kUnsupported;
    w.batch_end(b);
    return kDone;
}

bool is_attribute_name(PyObject* key) {
    if (!PyUnicode_CheckExact(key)) return false;
    for (std::string_view name : {certificate_format::kAttrId, certificate_format::kAttrPath,
                                  certificate_format::kAttrFingerprint}) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(key, &n);
        if (!s) {
            PyErr_Clear();
            return false;
        }
        if (std::string_view(s, static_cast<std::size_t>(n)) == name) return true;
    }
    return false;
}

int Walker::save_node(PyObject* o, int depth, pk::Identity id) {
    // The state is the instance dict itself; only the record's own attributes are accepted,
    // which also rules out instance-level hooks such as __reduce_ex__ or __getstate__.
    py::Ref state = py::Ref::steal(PyObject_GenericGetDict(o, nullptr));
    if (!state) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return kError;
        PyErr_Clear();
        return kUnsupported;
    }
    if (!PyDict_CheckExact(state.get()) || PyDict_GET_SIZE(state.get()) == 0) return kUnsupported;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(state.get(), &pos, &k, &v)) {
        if (!is_attribute_name(k)) return kUnsupported;
    }
    if (!w.save_ref(identity(nc_.cls))) {
        kept_.push_back(py::Ref::borrow(nc_.cls));
        int r = save(nc_.module, depth + 1);
        if (r == kDone) r = save(nc_.qualname.get(), depth + 1);
        if (r != kDone) return r;
        w.put_stack_global(identity(nc_.cls));
    }
    w.save_empty_tuple();
    w.put_newobj(id);
    // Held by the record and by `state` alone: the dict occurs nowhere else.
    const int r = save(state.get(), depth + 1, Py_REFCNT(state.get()) == 2);
    if (r != kDone) return r;
    w.put_build();
    return kDone;
}

// ------------------------------------------------------------------ reading

class Builder {
  public:
    Builder(const pk::Decoded& d, PyTypeObject* type)
        : d_(d), type_(type), cache_(d.values.size()) {}
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    PyObject* run() {
        args_ = py::Ref::steal(PyTuple_New(0));
        py::Ref table = py::Ref::steal(PyDict_New());
        if (!args_ || !table) return nullptr;
        const auto& items = d_.items(d_.root);
        constexpr std::size_t kSignalCheck = 2 * 4096;  // items (key, node) between looks at Ctrl-C
        for (std::size_t i = 0; i < items.size(); i += 2) {
            if (i % kSignalCheck == kSignalCheck - 2 && PyErr_CheckSignals() < 0) return nullptr;
            PyObject* key = get(items[i], 0);
            PyObject* node = key ? get(items[i + 1], 0) : nullptr;
            if (!node || PyDict_SetItem(table.get(), key, node) < 0) return nullptr;
        }
        return table.release();
    }

  private:
    // Borrowed from the cache: one Python object per decoded value, so shared values stay shared.
    PyObject* get(pk::ValueId v, int depth) {
        if (cache_[v]) return cache_[v].get();
        if (depth > 4) {  // deeper than a node table; the shape check already excludes it
            PyErr_SetString(PyExc_ValueError, "nesting too deep for a node table");
            return nullptr;
        }
        const pk::Value& x = d_.at(v);
        PyObject* o = nullptr;
        switch (x.kind) {
            case pk::Kind::Int:
                o = PyLong_FromLongLong(static_cast<long long>(d_.int_value(v)));
                break;
            case pk::Kind::BigInt: {
                const auto b = d_.bytes(v);
#if PY_VERSION_HEX >= 0x030D0000
                o = PyLong_FromNativeBytes(b.data(), b.size(), Py_ASNATIVEBYTES_LITTLE_ENDIAN);
#else
                o = _PyLong_FromByteArray(b.data(), b.size(), 1, 1);
#endif
                break;
            }
            case pk::Kind::Str: {
                const auto s = d_.str(v);
                bool ascii = true;  // digests, keys and most paths: no decoding needed
                for (std::size_t i = 0; i < s.size() && ascii; ++i)
                    ascii = static_cast<unsigned char>(s[i]) < 0x80;
                o = ascii ? py::ascii_text(s.data(), s.size()).release()
                          : PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()),
                                                 "surrogatepass");
                break;
            }
            case pk::Kind::List:
                return list(v, depth);
            case pk::Kind::Object:
                return node(v, depth);
            default:
                PyErr_SetString(PyExc_ValueError, "a value of a kind no node table holds");
                return nullptr;
        }
        cache_[v] = py::Ref::steal(o);
        return o;
    }

    PyObject* list(pk::ValueId v, int depth) {
        const auto& items = d_.items(v);
        PyObject* l = PyList_New(static_cast<Py_ssize_t>(items.size()));
        if (!l) return nullptr;
        cache_[v] = py::Ref::steal(l);
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyObject* item = get(items[i], depth + 1);
            if (!item) return nullptr;
            Py_INCREF(item);
            PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), item);
        }
        // A list of str only (a fingerprint row) is part of no cycle: spare the collector.
        bool atomic = true;
        for (std::size_t i = 0; i < items.size() && atomic; ++i)
            atomic = PyUnicode_CheckExact(PyList_GET_ITEM(l, static_cast<Py_ssize_t>(i)));
        if (atomic) PyObject_GC_UnTrack(l);
        return l;
    }

    // As the host's NEWOBJ and BUILD: the class's tp_new with no arguments (no __init__),
    // then each state item stored in the instance dict under an interned name.
    PyObject* node(pk::ValueId v, int depth) {
        PyObject* inst = type_->tp_new(type_, args_.get(), nullptr);
        if (!inst) return nullptr;
        cache_[v] = py::Ref::steal(inst);
        py::Ref dict = py::Ref::steal(PyObject_GenericGetDict(inst, nullptr));
        if (!dict) return nullptr;
        for (std::size_t i = 0; i < d_.state_size(v); ++i) {
            PyObject* name = get(d_.state_key(v, i), depth + 1);
            PyObject* value = name ? get(d_.state_value(v, i), depth + 1) : nullptr;
            if (!value) return nullptr;
            Py_INCREF(name);
            PyUnicode_InternInPlace(&name);
            py::Ref interned = py::Ref::steal(name);
            if (PyDict_SetItem(dict.get(), interned.get(), value) < 0) return nullptr;
        }
        return inst;
    }

    const pk::Decoded& d_;
    PyTypeObject* type_;
    std::vector<py::Ref> cache_;  // owns one reference to each object made
    py::Ref args_;
};

}  // namespace

// Hands the settled part of the stream to the sink once enough has gathered (or all of it).
int Walker::flush(bool all) {
    constexpr std::size_t kPiece = 1 << 20;
    if (!sink) return kDone;
    const std::size_t n = w.settled_size();
    if (n == 0 || (!all && n < kPiece)) return kDone;
    if ((*sink)(std::string_view(w.data().data(), n)) != 0) return kError;
    w.drop_settled(n);
    return kDone;
}

int dump_node_table(PyObject* table, PyObject* filenode_type,
                    const std::function<int(std::string_view)>& sink) {
    try {
        if (!PyDict_CheckExact(table)) return kUnsupported;
        NodeClass nc;
        const int c = check_class(filenode_type, nc);
        if (c != kDone) return c;
        Walker walker(nc);
        walker.sink = &sink;
        const int r = walker.save(table, 0);
        if (r != kDone) return r;
        walker.w.finish();
        return walker.flush(true);
    } catch (const std::length_error&) {
        return kUnsupported;  // beyond the memo's or an int's limits: the host reports it
    } catch (...) {
        py::set_error_from_current_exception();
        return kError;
    }
}

PyObject* load_node_table(const char* data, std::size_t len, PyObject* filenode_type,
                          memory_budget::Budget* budget) {
    if (!PyType_Check(filenode_type) || !reinterpret_cast<PyTypeObject*>(filenode_type)->tp_new) {
        PyErr_SetString(PyExc_TypeError, "node class expected");
        return nullptr;
    }
    py::GcPause gc_pause;
    try {
        pk::Decoded d;
        pk::Status st;
        bool decoded = false;
        // Decoded and checked away from the interpreter lock, where Ctrl-C cuts it short.
        std::atomic<bool> cancel{false};
        auto work = [&] {
            st = pk::decode({reinterpret_cast<const std::uint8_t*>(data), len}, d, &cancel, budget);
            decoded = st.ok;
            if (decoded) st = pk::check_node_table(d, &cancel);
        };
        if (py::run_interruptible(work, cancel) < 0) return nullptr;
        if (!decoded) {
            PyErr_Format(PyExc_ValueError, "%s at byte %zu of the payload", st.reason.c_str(),
                         st.offset);
            return nullptr;
        }
        if (!st.ok) {
            PyErr_Format(PyExc_ValueError, "%s", st.reason.c_str());
            return nullptr;
        }
        return Builder(d, reinterpret_cast<PyTypeObject*>(filenode_type)).run();
    } catch (...) {
        py::set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace mavelin::certificate
