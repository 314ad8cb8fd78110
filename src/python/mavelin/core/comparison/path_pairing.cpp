// Pairing the certificate's node table with the fresh one by node path, through the engine's join.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/compare/node_join.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/table/node_table.h"
#include "python/capi/entry.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/mavelin/core/comparison/node_comparison.h"
#include "python/mavelin/core/models.h"

namespace mavelin::node_comparison {
namespace {

using table::NodeTable;

// One side of the comparison: the records in table order, held while the findings are written,
// and the engine's column form of them.
struct Side {
    std::vector<py::Ref> nodes;
    NodeTable rows;
    bool rows_chosen = false;  // rows.rows() is the count of the first scan-form fingerprint
};

}  // namespace

int path_key(PyObject* path, std::string& out) {
    if (PyUnicode_CheckExact(path) && PyUnicode_IS_ASCII(path)) {
        out.assign(static_cast<const char*>(PyUnicode_DATA(path)),
                   static_cast<size_t>(PyUnicode_GET_LENGTH(path)));
        return 0;
    }
    if (PyUnicode_Check(path)) {
        py::Ref bytes = py::Ref::steal(PyUnicode_EncodeFSDefault(path));
        if (bytes) {
            out.assign(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
            return 0;
        }
        PyErr_Clear();  // lone surrogates that are no escaped bytes
    }
    py::Ref repr = py::Ref::steal(PyObject_Repr(path));
    if (!repr) return -1;
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(repr.get(), &n);
    if (!text) return -1;
    out.assign(1, '\0');
    out.append(Py_TYPE(path)->tp_name).push_back('\0');
    out.append(text, static_cast<size_t>(n));
    return 0;
}

namespace {

// The binary row digests of a fingerprint in the form a scan makes (a list of one-item lists,
// each holding 64 lowercase hexadecimal digits); false for any other value.
bool binary_digests(PyObject* fp, std::string& out) {
    out.clear();
    if (!PyList_CheckExact(fp)) return false;
    const Py_ssize_t rows = PyList_GET_SIZE(fp);
    out.reserve(static_cast<size_t>(rows) * 32);
    for (Py_ssize_t r = 0; r < rows; ++r) {
        PyObject* row = PyList_GET_ITEM(fp, r);
        if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) != 1) return false;
        PyObject* text = PyList_GET_ITEM(row, 0);
        if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text) ||
            PyUnicode_GET_LENGTH(text) != 64)
            return false;
        hash::sha256::Digest digest;
        if (!hash::sha256::from_hex(static_cast<const char*>(PyUnicode_DATA(text)), digest))
            return false;
        out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
    return true;
}

// Whether a certificate record's id disagrees with the number of its key "node_id_N". Keys of
// another form carry no number and are not checked.
int id_disagrees(PyObject* key, PyObject* node) {
    static constexpr const char* kPrefix = certificate_format::kNodeKeyPrefix;
    constexpr size_t kPrefixLen = sizeof(certificate_format::kNodeKeyPrefix) - 1;
    if (!PyUnicode_Check(key)) return 0;
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &n);
    if (!text) return -1;
    if (static_cast<size_t>(n) < kPrefixLen || std::memcmp(text, kPrefix, kPrefixLen) != 0)
        return 0;
    const char* digits = text + kPrefixLen;
    const size_t len = static_cast<size_t>(n) - kPrefixLen;
    bool canonical = len > 0 && (len == 1 || digits[0] != '0');
    for (size_t i = 0; canonical && i < len; ++i) canonical = digits[i] >= '0' && digits[i] <= '9';
    if (!canonical) return 1;
    py::Ref id = py::Ref::steal(PyObject_GetAttr(node, py::state().names.id.get()));
    if (!id) return -1;
    if (PyLong_CheckExact(id.get()) && len <= 18) {  // the usual case, without a number object
        long long key_number = 0;
        for (size_t i = 0; i < len; ++i) key_number = key_number * 10 + (digits[i] - '0');
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(id.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) return -1;
        return overflow != 0 || value != key_number;
    }
    py::Ref number = py::Ref::steal(PyLong_FromString(digits, nullptr, 10));
    if (!number) return -1;
    const int same = PyObject_RichCompareBool(id.get(), number.get(), Py_EQ);
    return same < 0 ? -1 : !same;
}

// The records of a node table in insertion order, with their keys.
int table_items(PyObject* table, std::vector<py::Ref>& keys, std::vector<py::Ref>& nodes) {
    if (PyDict_Check(table)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(table, &pos, &key, &value)) {
            keys.push_back(py::Ref::borrow(key));
            nodes.push_back(py::Ref::borrow(value));
        }
        return 0;
    }
    py::Ref items = py::Ref::steal(PyMapping_Items(table));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "node table items must be (key, record) pairs");
            return -1;
        }
        keys.push_back(py::Ref::borrow(PyTuple_GET_ITEM(item, 0)));
        nodes.push_back(py::Ref::borrow(PyTuple_GET_ITEM(item, 1)));
    }
    return 0;
}

// Appends a node with the fingerprint `digests` (binary row digests one after another) to
// `side`: the first such fingerprint sets the table's row count, others of another count are
// kept aside.
void add_fingerprinted(Side& side, const std::string& key, const std::string& digests) {
    const size_t rows = digests.size() / sizeof(table::Digest);
    if (!side.rows_chosen) side.rows_chosen = side.rows.set_rows(rows);
    const auto id = static_cast<int64_t>(side.rows.size()) + 1;
    if (rows == side.rows.rows()) {
        side.rows.add(id, key, reinterpret_cast<const table::Digest*>(digests.data()));
    } else {
        side.rows.add(id, key);
        side.rows.set_other_fingerprint(side.rows.size() - 1, digests);
    }
}

// Fills `side` from the node table `table`; `certificate` adds the id check against the keys.
int extract(PyObject* table, bool certificate, Side& side) {
    std::vector<py::Ref> keys;
    if (table_items(table, keys, side.nodes) < 0) return -1;
    std::string key, digests;
    try {
        for (size_t i = 0; i < side.nodes.size(); ++i) {
            PyObject* node = side.nodes[i].get();
            py::Ref path =
                py::Ref::steal(PyObject_GetAttr(node, py::state().names.file_path.get()));
            if (!path || path_key(path.get(), key) < 0) return -1;
            const auto id = static_cast<int64_t>(i) + 1;
            py::Ref fp = fingerprint_of(node);
            if (!fp) {
                if (PyErr_Occurred()) return -1;
                side.rows.add(id, key);
            } else if (binary_digests(fp.get(), digests)) {
                add_fingerprinted(side, key, digests);
            } else {
                side.rows.add(id, key);
                side.rows.mark(i, NodeTable::kOddFingerprint);
            }
            if (certificate) {
                const int disagrees = id_disagrees(keys[i].get(), node);
                if (disagrees < 0) return -1;
                if (disagrees) side.rows.mark(i, NodeTable::kIdMismatch);
            }
        }
    } catch (...) {
        py::set_error_from_current_exception();
        return -1;
    }
    return 0;
}

py::Ref path_of(const Side& side, size_t row) {
    return py::Ref::steal(
        PyObject_GetAttr(side.nodes[row].get(), py::state().names.file_path.get()));
}

// The pairing `how`, away from the interpreter lock, where Ctrl-C cuts it short. -1 with
// KeyboardInterrupt or MemoryError set.
int join(EngineJoin how, const NodeTable& certificate, const NodeTable& fresh,
         const compare::FolderSet& unread, compare::Comparison& result) {
    std::atomic<bool> cancel{false};
    return py::run_interruptible_alloc([&] { result = how(certificate, fresh, &cancel, &unread); },
                                       cancel);
}

}  // namespace

long long on_tables(EngineJoin how, const NodeTable& certificate, const NodeTable& fresh,
                    Findings& findings) {
    compare::Comparison result;
    if (join(how, certificate, fresh, findings.unread(), result) < 0) return -1;
    auto path_in = [](const NodeTable& t) {
        return [&t](size_t row) { return py::decode_path(t.path(row)); };
    };
    return findings.join(result, path_in(fresh), path_in(certificate));
}

long long by_path(PyObject* certificate_table, PyObject* fresh_table, Findings& findings) {
    Side cert, fresh;
    if (extract(certificate_table, true, cert) < 0 || extract(fresh_table, false, fresh) < 0)
        return -1;
    compare::Comparison result;
    if (join(compare::join_by_path, cert.rows, fresh.rows, findings.unread(), result) < 0)
        return -1;

    return findings.join(
        result, [&](size_t row) { return path_of(fresh, row); },
        [&](size_t row) { return path_of(cert, row); });
}

}  // namespace mavelin::node_comparison
