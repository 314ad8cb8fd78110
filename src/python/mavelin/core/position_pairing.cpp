// Pairing the certificate's node table with the fresh one and reporting every difference.
#include "python/mavelin/core/node_comparison.h"

#include <algorithm>
#include <vector>

#include "python/capi/common.h"
#include "python/mavelin/core/models.h"
#include "python/mavelin/utils/procedure_support.h"

namespace mavelin::node_comparison {
namespace {

// The values of a node table in insertion order.
int table_values(PyObject* table, py::Ref& out) {
    py::Ref values = py::Ref::steal(PyMapping_Values(table));
    if (!values) return -1;
    out = py::Ref::steal(PySequence_List(values.get()));
    return out ? 0 : -1;
}

int warn(PyObject* logger, const char* prefix, PyObject* path, const char* suffix) {
    py::Ref text = py::Ref::steal(PyObject_Str(path));
    if (!text) return -1;
    return procedures::log_with(logger, "warning", prefix, text.get(), suffix);
}

// The fingerprint of a record, or null (no exception) when it has none.
py::Ref fingerprint_of(PyObject* node) {
    py::Ref fp = py::Ref::steal(PyObject_GetAttr(node, models::kFingerprint));
    if (!fp && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return fp;
}

// Set of the file paths of `nodes` (unhashable paths are left out).
py::Ref path_set(PyObject* nodes) {
    py::Ref set = py::Ref::steal(PySet_New(nullptr));
    if (!set) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes); ++i) {
        py::Ref path =
            py::Ref::steal(PyObject_GetAttr(PyList_GET_ITEM(nodes, i), models::kFilePath));
        if (!path) return {};
        if (PySet_Add(set.get(), path.get()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return {};
            PyErr_Clear();
        }
    }
    return set;
}

int contains(PyObject* set, PyObject* node, bool& out) {
    py::Ref path = py::Ref::steal(PyObject_GetAttr(node, models::kFilePath));
    if (!path) return -1;
    int r = PySet_Contains(set, path.get());
    if (r < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        r = 0;
    }
    out = r == 1;
    return 0;
}

// Why the fresh record has no fingerprint: the reason recorded for its path, if any.
py::Ref unreadable_reason(PyObject* validator, PyObject* path) {
    py::Ref errors = py::Ref::steal(PyObject_GetAttrString(validator, "_unreadable_files"));
    if (!errors) {
        PyErr_Clear();
        return {};
    }
    py::Ref seq = py::Ref::steal(PySequence_Fast(errors.get(), ""));
    if (!seq) {
        PyErr_Clear();
        return {};
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) continue;
        int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(pair, 0), path, Py_EQ);
        if (same < 0) {
            PyErr_Clear();
            continue;
        }
        if (!same) continue;
        PyObject* exc = PyTuple_GET_ITEM(pair, 1);
        py::Ref reason = py::Ref::steal(PyObject_GetAttrString(exc, "strerror"));
        if (!reason || reason.get() == Py_None) {
            PyErr_Clear();
            reason = py::Ref::steal(PyObject_Str(exc));
        }
        return reason;
    }
    return {};
}

// Record equality. For two records of the FileNode class itself this is what its generated
// __eq__ computes, (id, file_path) == (id, file_path), without running Python code per pair.
int same_records(PyObject* a, PyObject* b, int same_path) {
    PyObject* cls = models::filenode_class();
    if (!cls) return -1;
    if (Py_TYPE(a) != reinterpret_cast<PyTypeObject*>(cls) || Py_TYPE(b) != Py_TYPE(a))
        return PyObject_RichCompareBool(a, b, Py_EQ);
    py::Ref id_a = py::Ref::steal(PyObject_GetAttr(a, models::kId));
    py::Ref id_b = py::Ref::steal(PyObject_GetAttr(b, models::kId));
    if (!id_a || !id_b) return -1;
    const int same_id = PyObject_RichCompareBool(id_a.get(), id_b.get(), Py_EQ);
    if (same_id <= 0) return same_id;
    return same_path;
}

// Compares one positional pair; sets `failed` when any check fails.
int compare_pair(PyObject* validator, PyObject* logger, PyObject* old_node, PyObject* new_node,
                 bool& failed) {
    py::Ref p = py::Ref::steal(PyObject_GetAttr(new_node, models::kFilePath));
    py::Ref old_path = py::Ref::steal(PyObject_GetAttr(old_node, models::kFilePath));
    if (!p || !old_path) return -1;
    int same_path = PyObject_RichCompareBool(old_path.get(), p.get(), Py_EQ);
    if (same_path < 0) return -1;
    int same_node = same_records(old_node, new_node, same_path);
    if (same_node < 0) return -1;
    py::Ref old_fp = fingerprint_of(old_node);
    if (!old_fp && PyErr_Occurred()) return -1;
    py::Ref new_fp = fingerprint_of(new_node);
    if (!new_fp && PyErr_Occurred()) return -1;
    int same_fp = 0;
    if (old_fp && new_fp) {
        same_fp = PyObject_RichCompareBool(old_fp.get(), new_fp.get(), Py_EQ);
        if (same_fp < 0) return -1;
    }
    failed = false;
    if (!same_node) {
        if (warn(logger, "File ", p.get(), " isn't authentic.") < 0) return -1;
        failed = true;
    }
    if (!same_path) {
        if (warn(logger, "File ", p.get(), " is out of order.") < 0) return -1;
        failed = true;
    }
    if (!new_fp) {
        py::Ref reason = unreadable_reason(validator, p.get());
        if (!reason) reason = py::Ref::steal(PyUnicode_FromString("no fingerprint was computed"));
        py::Ref text = py::Ref::steal(PyObject_Str(p.get()));
        if (!reason || !text) return -1;
        py::Ref shown = py::display_text(text.get());
        py::Ref why = py::display_text(reason.get());
        if (!shown || !why) return -1;
        py::Ref message = py::Ref::steal(
            PyUnicode_FromFormat("File %U can't be read: %U", shown.get(), why.get()));
        if (!message || py::log(logger, "warning", message.get()) < 0) return -1;
        failed = true;
    } else if (!old_fp) {
        if (warn(logger, "File ", p.get(), " has no fingerprint in the certificate.") < 0)
            return -1;
        failed = true;
    } else if (!same_fp) {
        if (warn(logger, "Fingerprints don't match in file ", p.get(), "!") < 0) return -1;
        failed = true;
    }
    return 0;
}

}  // namespace

PyObject* validate(PyObject* validator, PyObject* logger) {
    py::Ref old_table = py::Ref::steal(
        PyObject_GetAttrString(validator, "_CertificateValidator__certificate_fingerprints"));
    if (!old_table) return nullptr;
    py::Ref new_table = py::Ref::steal(PyObject_GetAttrString(validator, "_result_nodes"));
    if (!new_table) return nullptr;
    py::Ref old_nodes, new_nodes;
    if (table_values(old_table.get(), old_nodes) < 0 ||
        table_values(new_table.get(), new_nodes) < 0)
        return nullptr;
    const Py_ssize_t n_old = PyList_GET_SIZE(old_nodes.get());
    const Py_ssize_t n_new = PyList_GET_SIZE(new_nodes.get());
    const Py_ssize_t pairs = std::min(n_old, n_new);

    long long invalid = 0;
    for (Py_ssize_t i = 0; i < pairs; ++i) {
        bool failed = false;
        if (compare_pair(validator, logger, PyList_GET_ITEM(old_nodes.get(), i),
                         PyList_GET_ITEM(new_nodes.get(), i), failed) < 0)
            return nullptr;
        if (failed) ++invalid;
    }

    // Past the common length nothing may pass unnoticed: every difference in the set of
    // files is named, and every unpaired entry counts as failed.
    py::Ref old_paths = path_set(old_nodes.get());
    py::Ref new_paths = path_set(new_nodes.get());
    if (!old_paths || !new_paths) return nullptr;
    for (Py_ssize_t i = 0; i < n_old; ++i) {
        PyObject* node = PyList_GET_ITEM(old_nodes.get(), i);
        bool present = false;
        if (contains(new_paths.get(), node, present) < 0) return nullptr;
        if (present) continue;
        py::Ref path = py::Ref::steal(PyObject_GetAttr(node, models::kFilePath));
        if (!path || warn(logger, "File ", path.get(), " is missing.") < 0) return nullptr;
    }
    for (Py_ssize_t i = 0; i < n_new; ++i) {
        PyObject* node = PyList_GET_ITEM(new_nodes.get(), i);
        bool present = false;
        if (contains(old_paths.get(), node, present) < 0) return nullptr;
        if (present) continue;
        py::Ref path = py::Ref::steal(PyObject_GetAttr(node, models::kFilePath));
        if (!path || warn(logger, "File ", path.get(), " isn't in the certificate.") < 0)
            return nullptr;
    }
    PyObject* longer = n_old > n_new ? old_nodes.get() : new_nodes.get();
    PyObject* other_paths = n_old > n_new ? new_paths.get() : old_paths.get();
    for (Py_ssize_t i = pairs; i < std::max(n_old, n_new); ++i) {
        PyObject* node = PyList_GET_ITEM(longer, i);
        bool shifted = false;
        if (contains(other_paths, node, shifted) < 0) return nullptr;
        if (shifted) {
            py::Ref path = py::Ref::steal(PyObject_GetAttr(node, models::kFilePath));
            if (!path || warn(logger, "File ", path.get(), " is out of order.") < 0) return nullptr;
        }
        ++invalid;
    }
    return PyLong_FromLongLong(invalid);
}

}  // namespace mavelin::node_comparison
