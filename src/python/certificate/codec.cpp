// Certificate payload codec: a table of records into the compact form the engine's payload writer
// takes, and a payload into records through the engine's reader.
#include "python/certificate/codec.h"

#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/pickle/node_table.h"
#include "engine/pickle/reader.h"
#include "engine/table/path_text.h"
#include "python/capi/entry.h"
#include "python/capi/gc.h"
#include "python/capi/interruptible.h"
#include "python/capi/text.h"

namespace mavelin::certificate {

namespace pk = mavelin::pickle;

namespace {

enum : int { kDone = 0, kUnsupported = 1, kError = -1 };

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

// Collects the compact form of a table of records, refusing any shape whose host pickle is not
// the compact form's payload.
class Compact {
  public:
    Compact(const NodeClass& nc, table::NodeTable& out) : nc_(nc), out_(out) {}
    // kDone with the table in `out`, kUnsupported, or kError.
    int run(PyObject* table);

  private:
    // Whether `o` occurs once in the table so far: held only by the container it was reached
    // through, or seen for the first time. The host's memo would name a second occurrence.
    bool once(PyObject* o) { return Py_REFCNT(o) == 1 || seen_.insert(o).second; }
    // Whether the state key `k` is the attribute name `name`, the same object in every record.
    bool attribute(PyObject* k, std::string_view name, PyObject*& first);
    int node(PyObject* o);
    int fingerprint(PyObject* fp);

    const NodeClass& nc_;
    table::NodeTable& out_;
    std::unordered_set<PyObject*> seen_;
    PyObject* attr_id_ = nullptr;
    PyObject* attr_path_ = nullptr;
    PyObject* attr_fp_ = nullptr;
    bool rows_known_ = false;
    std::string text_, raw_;
    std::vector<table::Digest> rows_;
};

// The text of a str as the host's pickle writes it (UTF-8, lone surrogates in their 3-byte form).
int pickled_text(PyObject* o, std::string& out) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(o, &n)) {
        out.assign(s, static_cast<std::size_t>(n));
        return kDone;
    }
    PyErr_Clear();
    py::Ref b = py::Ref::steal(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass"));
    if (!b) return kError;
    out.assign(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
    return kDone;
}

bool Compact::attribute(PyObject* k, std::string_view name, PyObject*& first) {
    if (first) return k == first;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_CheckExact(k) ? PyUnicode_AsUTF8AndSize(k, &n) : nullptr;
    if (!s) {
        PyErr_Clear();
        return false;
    }
    if (std::string_view(s, static_cast<std::size_t>(n)) != name || !seen_.insert(k).second)
        return false;
    first = k;
    return true;
}

int Compact::fingerprint(PyObject* fp) {
    if (!PyList_CheckExact(fp) || !once(fp)) return kUnsupported;
    const auto rows = static_cast<std::size_t>(PyList_GET_SIZE(fp));
    if (!rows_known_) {
        if (!out_.set_rows(rows)) return kUnsupported;
        rows_known_ = true;
    }
    if (rows != out_.rows()) return kUnsupported;
    rows_.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        PyObject* row = PyList_GET_ITEM(fp, static_cast<Py_ssize_t>(r));
        if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) != 1 || !once(row)) return kUnsupported;
        PyObject* hex = PyList_GET_ITEM(row, 0);
        if (!PyUnicode_CheckExact(hex) || !PyUnicode_IS_COMPACT_ASCII(hex) ||
            PyUnicode_GET_LENGTH(hex) != 64 || !once(hex) ||
            !hash::sha256::from_hex(static_cast<const char*>(PyUnicode_DATA(hex)), rows_[r]))
            return kUnsupported;
    }
    return kDone;
}

int Compact::node(PyObject* o) {
    if (Py_TYPE(o) != nc_.type || !once(o)) return kUnsupported;
    py::Ref state = py::Ref::steal(PyObject_GenericGetDict(o, nullptr));
    if (!state) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return kError;
        PyErr_Clear();
        return kUnsupported;
    }
    const Py_ssize_t attrs = PyDict_CheckExact(state.get()) ? PyDict_GET_SIZE(state.get()) : 0;
    if (attrs != 2 && attrs != 3) return kUnsupported;
    // The attributes in the order a record creates them: id, file_path, then the fingerprint.
    Py_ssize_t pos = 0;
    PyObject *k, *id, *path, *fp = nullptr;
    if (!PyDict_Next(state.get(), &pos, &k, &id) ||
        !attribute(k, certificate_format::kAttrId, attr_id_) ||
        !PyDict_Next(state.get(), &pos, &k, &path) ||
        !attribute(k, certificate_format::kAttrPath, attr_path_))
        return kUnsupported;
    if (attrs == 3 && (!PyDict_Next(state.get(), &pos, &k, &fp) ||
                       !attribute(k, certificate_format::kAttrFingerprint, attr_fp_)))
        return kUnsupported;
    int overflow = 0;
    const long long id_value =
        PyLong_CheckExact(id) ? PyLong_AsLongLongAndOverflow(id, &overflow) : 0;
    if (!PyLong_CheckExact(id) || overflow) return kUnsupported;
    if (!PyUnicode_CheckExact(path) || !once(path)) return kUnsupported;
    if (pickled_text(path, text_) != kDone) return kError;
    if (!table::path_from_text(text_, raw_) || raw_.size() > table::NodeTable::kMaxPath)
        return kUnsupported;
    if (fp) {
        const int r = fingerprint(fp);
        if (r != kDone) return r;
    }
    out_.add(static_cast<std::int64_t>(id_value), raw_, fp ? rows_.data() : nullptr);
    return kDone;
}

int Compact::run(PyObject* table) {
    // The class's names are written once and named again: no value may be them.
    seen_.insert(nc_.module);
    seen_.insert(nc_.qualname.get());
    constexpr std::size_t kPrefix = sizeof certificate_format::kNodeKeyPrefix - 1;
    char key[32];
    std::memcpy(key, certificate_format::kNodeKeyPrefix, kPrefix);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (std::size_t i = 0; PyDict_Next(table, &pos, &k, &v); ++i) {
        const auto key_end = std::to_chars(key + kPrefix, key + sizeof key, i + 1).ptr;
        if (!PyUnicode_CheckExact(k) || !PyUnicode_IS_COMPACT_ASCII(k) || !once(k) ||
            std::string_view(static_cast<const char*>(PyUnicode_DATA(k)),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(k))) !=
                std::string_view(key, static_cast<std::size_t>(key_end - key)))
            return kUnsupported;
        const int r = node(v);
        if (r != kDone) return r;
    }
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

int compact_form(PyObject* table, PyObject* filenode_type, table::NodeTable& out) {
    try {
        out = table::NodeTable();
        if (!PyDict_CheckExact(table)) return 0;
        NodeClass nc;
        int r = check_class(filenode_type, nc);
        if (r == kDone) r = Compact(nc, out).run(table);
        if (r != kDone) return r == kError ? -1 : 0;
        out.shrink_to_fit();
        return 1;
    } catch (const std::length_error&) {
        return 0;  // a path beyond the table's limit: the host pickles it
    } catch (...) {
        py::set_error_from_current_exception();
        return -1;
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
