// Pairing the certificate's records with the fresh ones entry by entry, in table order: the
// validator's step (compact tables pair in compare::join_by_position).
#include <algorithm>
#include <vector>

#include "python/capi/handle.h"
#include "python/capi/state.h"
#include "python/mavelin/core/comparison/node_comparison.h"
#include "python/mavelin/core/models.h"

namespace mavelin::node_comparison {
namespace {

// The values of a node table in insertion order.
int table_values(PyObject* table, py::Ref& out) {
    py::Ref values = py::Ref::steal(PyMapping_Values(table));
    if (!values) return -1;
    out = py::Ref::steal(PySequence_List(values.get()));
    return out ? 0 : -1;
}

// Set of the file paths of `nodes` (unhashable paths are left out).
py::Ref path_set(PyObject* nodes) {
    py::Ref set = py::Ref::steal(PySet_New(nullptr));
    if (!set) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes); ++i) {
        py::Ref path = py::Ref::steal(
            PyObject_GetAttr(PyList_GET_ITEM(nodes, i), py::state().names.file_path.get()));
        if (!path) return {};
        if (PySet_Add(set.get(), path.get()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return {};
            PyErr_Clear();
        }
    }
    return set;
}

int contains(PyObject* set, PyObject* node, bool& out) {
    py::Ref path = py::Ref::steal(PyObject_GetAttr(node, py::state().names.file_path.get()));
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

// Record equality. For two records of the FileNode class itself this is what its generated
// __eq__ computes, (id, file_path) == (id, file_path), without running Python code per pair.
int same_records(PyObject* a, PyObject* b, int same_path) {
    PyObject* cls = models::filenode_class();
    if (!cls) return -1;
    if (Py_TYPE(a) != reinterpret_cast<PyTypeObject*>(cls) || Py_TYPE(b) != Py_TYPE(a))
        return PyObject_RichCompareBool(a, b, Py_EQ);
    py::Ref id_a = py::Ref::steal(PyObject_GetAttr(a, py::state().names.id.get()));
    py::Ref id_b = py::Ref::steal(PyObject_GetAttr(b, py::state().names.id.get()));
    if (!id_a || !id_b) return -1;
    const int same_id = PyObject_RichCompareBool(id_a.get(), id_b.get(), Py_EQ);
    if (same_id <= 0) return same_id;
    return same_path;
}

// Compares one positional pair; sets `failed` when any check fails.
int compare_pair(Findings& findings, PyObject* old_node, PyObject* new_node, bool& failed) {
    py::Ref p = py::Ref::steal(PyObject_GetAttr(new_node, py::state().names.file_path.get()));
    py::Ref old_path =
        py::Ref::steal(PyObject_GetAttr(old_node, py::state().names.file_path.get()));
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
    // The certificate's path goes with every finding of a pair whose paths differ.
    PyObject* other = same_path ? nullptr : old_path.get();
    failed = false;
    if (!same_node) {
        if (findings.report("not_authentic", p.get(), other, "File ", " isn't authentic.") < 0)
            return -1;
        failed = true;
    }
    if (!same_path) {
        if (findings.report("out_of_order", p.get(), other, "File ", " is out of order.") < 0)
            return -1;
        failed = true;
    }
    if (!new_fp) {
        if (findings.unreadable(p.get(), other) < 0) return -1;
        failed = true;
    } else if (!old_fp) {
        if (findings.report("not_authentic", p.get(), other, "File ",
                            " has no fingerprint in the certificate.") < 0)
            return -1;
        failed = true;
    } else if (!same_fp) {
        if (findings.report("modified", p.get(), other, "Fingerprints don't match in file ", "!") <
            0)
            return -1;
        failed = true;
    }
    return 0;
}

}  // namespace

long long by_position(PyObject* certificate_table, PyObject* fresh_table, Findings& findings) {
    py::Ref old_nodes, new_nodes;
    if (table_values(certificate_table, old_nodes) < 0 || table_values(fresh_table, new_nodes) < 0)
        return -1;
    const Py_ssize_t n_old = PyList_GET_SIZE(old_nodes.get());
    const Py_ssize_t n_new = PyList_GET_SIZE(new_nodes.get());
    const Py_ssize_t pairs = std::min(n_old, n_new);

    long long invalid = 0;
    for (Py_ssize_t i = 0; i < pairs; ++i) {
        bool failed = false;
        if (compare_pair(findings, PyList_GET_ITEM(old_nodes.get(), i),
                         PyList_GET_ITEM(new_nodes.get(), i), failed) < 0)
            return -1;
        if (failed) ++invalid;
    }

    // Past the common length nothing may pass unnoticed: every difference in the set of
    // files is named, and every unpaired entry counts as failed.
    // Certified files below a folder that could not be read are not checked, not missing.
    py::Ref old_paths = path_set(old_nodes.get());
    py::Ref new_paths = path_set(new_nodes.get());
    if (!old_paths || !new_paths) return -1;
    std::vector<bool> unchecked(static_cast<size_t>(n_old), false);
    size_t not_checked = 0;
    for (Py_ssize_t i = 0; i < n_old; ++i) {
        PyObject* node = PyList_GET_ITEM(old_nodes.get(), i);
        bool present = false;
        if (contains(new_paths.get(), node, present) < 0) return -1;
        if (present) continue;
        py::Ref path = py::Ref::steal(PyObject_GetAttr(node, py::state().names.file_path.get()));
        if (!path) return -1;
        const int below = findings.below_unread(path.get());
        if (below < 0) return -1;
        if (below) {
            unchecked[static_cast<size_t>(i)] = true;
            ++not_checked;
            continue;
        }
        if (findings.report("missing", path.get(), nullptr, "File ", " is missing.") < 0) return -1;
    }
    if (findings.not_checked(not_checked) < 0) return -1;
    for (Py_ssize_t i = 0; i < n_new; ++i) {
        PyObject* node = PyList_GET_ITEM(new_nodes.get(), i);
        bool present = false;
        if (contains(old_paths.get(), node, present) < 0) return -1;
        if (present) continue;
        py::Ref path = py::Ref::steal(PyObject_GetAttr(node, py::state().names.file_path.get()));
        if (!path ||
            findings.report("new", path.get(), nullptr, "File ", " isn't in the certificate.") < 0)
            return -1;
    }
    PyObject* longer = n_old > n_new ? old_nodes.get() : new_nodes.get();
    PyObject* other_paths = n_old > n_new ? new_paths.get() : old_paths.get();
    for (Py_ssize_t i = pairs; i < std::max(n_old, n_new); ++i) {
        if (n_old > n_new && unchecked[static_cast<size_t>(i)]) continue;
        PyObject* node = PyList_GET_ITEM(longer, i);
        bool shifted = false;
        if (contains(other_paths, node, shifted) < 0) return -1;
        if (shifted) {
            py::Ref path =
                py::Ref::steal(PyObject_GetAttr(node, py::state().names.file_path.get()));
            if (!path || findings.report("out_of_order", path.get(), nullptr, "File ",
                                         " is out of order.") < 0)
                return -1;
        }
        ++invalid;
    }
    return invalid;
}

}  // namespace mavelin::node_comparison
