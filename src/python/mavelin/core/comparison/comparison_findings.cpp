// The findings of a comparison: their log lines and their record on the validator.
#include "python/capi/attribute_names.h"
#include "python/capi/import.h"
#include "python/capi/library_call.h"
#include "python/capi/state.h"
#include "python/capi/text.h"
#include "python/mavelin/core/comparison/node_comparison.h"
#include "python/mavelin/core/log_lines.h"
#include "python/mavelin/core/models.h"

namespace mavelin::node_comparison {
namespace {

// logger.warning(message, extra={"finding": kind}): the record names the finding's kind, by
// which the command line's --quiet (and any filter of a caller) tells findings from the other
// warnings.
int warn(PyObject* logger, const char* kind, PyObject* message) {
    const int wanted = py::may_log(logger);
    if (wanted <= 0) return wanted;
    py::Ref method = py::attr(logger, "warning");
    py::Ref args = py::Ref::steal(PyTuple_Pack(1, message));
    py::Ref kw = py::Ref::steal(Py_BuildValue("{s{ss}}", "extra", "finding", kind));
    if (!method || !args || !kw) return -1;
    py::Ref r = py::Ref::steal(PyObject_Call(method.get(), args.get(), kw.get()));
    return r ? 0 : -1;
}

}  // namespace

py::Ref fingerprint_of(PyObject* node) {
    py::Ref fp = py::Ref::steal(PyObject_GetAttr(node, py::state().names.fingerprint.get()));
    if (!fp && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return fp;
}

int Findings::start() {
    list_ = py::Ref::steal(PyList_New(0));
    reasons_ = py::Ref::steal(PyDict_New());
    if (!list_ || !reasons_ ||
        PyObject_SetAttrString(validator_, attr::kFindings, list_.get()) < 0 || not_checked(0) < 0)
        return -1;
    if (!unreadable_files_) return 0;
    py::Ref seq = py::Ref::steal(PySequence_Fast(unreadable_files_, ""));
    if (!seq) {
        PyErr_Clear();
        return 0;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) continue;
        PyObject* path = PyTuple_GET_ITEM(pair, 0);
        int known = PyDict_Contains(reasons_.get(), path);
        if (known < 0) {
            PyErr_Clear();  // an unhashable path: no reason to show for it
            continue;
        }
        if (!known && PyDict_SetItem(reasons_.get(), path, PyTuple_GET_ITEM(pair, 1)) < 0)
            return -1;
    }
    return 0;
}

int Findings::record(const char* kind, PyObject* path, PyObject* other) {
    py::Ref item = py::Ref::steal(Py_BuildValue("(sOO)", kind, path, other ? other : Py_None));
    return item ? PyList_Append(list_.get(), item.get()) : -1;
}

int Findings::report(const char* kind, PyObject* path, PyObject* other, const char* prefix,
                     const char* suffix) {
    py::Ref text = py::Ref::steal(PyObject_Str(path));
    py::Ref shown = text ? py::display_text(text.get()) : py::Ref();
    py::Ref message =
        shown ? py::Ref::steal(PyUnicode_FromFormat("%s%U%s", prefix, shown.get(), suffix))
              : py::Ref();
    if (!message || warn(logger_, kind, message.get()) < 0) return -1;
    return record(kind, path, other);
}

int Findings::moved(PyObject* from, PyObject* to) {
    py::Ref from_text = py::Ref::steal(PyObject_Str(from));
    py::Ref to_text = py::Ref::steal(PyObject_Str(to));
    if (!from_text || !to_text) return -1;
    py::Ref from_shown = py::display_text(from_text.get());
    py::Ref to_shown = py::display_text(to_text.get());
    if (!from_shown || !to_shown) return -1;
    py::Ref message = py::Ref::steal(
        PyUnicode_FromFormat("File %U was moved to %U.", from_shown.get(), to_shown.get()));
    if (!message || warn(logger_, "moved", message.get()) < 0) return -1;
    return record("moved", from, to);
}

int Findings::unreadable(PyObject* path, PyObject* other) {
    PyObject* exc = PyDict_GetItemWithError(reasons_.get(), path);  // borrowed
    if (!exc) PyErr_Clear();
    py::Ref message = log_lines::unreadable_message(path, exc);
    if (!message || warn(logger_, "unreadable", message.get()) < 0) return -1;
    return record("unreadable", path, other);
}

long long Findings::join(const compare::Comparison& result, const PathOf& fresh_path,
                         const PathOf& certificate_path) {
    using compare::Kind;
    for (const compare::Finding& f : result.findings) {
        py::Ref p = f.fresh_row != compare::kNoRow ? fresh_path(f.fresh_row) : py::Ref();
        py::Ref old_path =
            f.certificate_row != compare::kNoRow ? certificate_path(f.certificate_row) : py::Ref();
        if ((f.fresh_row != compare::kNoRow && !p) ||
            (f.certificate_row != compare::kNoRow && !old_path))
            return -1;
        // A pair by position whose paths differ names the certificate's path too.
        PyObject* other = f.paths_differ ? old_path.get() : nullptr;
        int r = 0;
        switch (f.kind) {
            case Kind::kNotAuthentic:
                r = report("not_authentic", p.get(), other, "File ", " isn't authentic.");
                break;
            case Kind::kUnreadable:
                r = unreadable(p.get(), other);
                break;
            case Kind::kUnsigned:
                r = report("not_authentic", p.get(), other, "File ",
                           " has no fingerprint in the certificate.");
                break;
            case Kind::kModified:
                r = report("modified", p.get(), other, "Fingerprints don't match in file ", "!");
                break;
            case Kind::kOutOfOrder:
                r = report("out_of_order", p ? p.get() : old_path.get(), other, "File ",
                           " is out of order.");
                break;
            case Kind::kNew:
                r = report("new", p.get(), nullptr, "File ", " isn't in the certificate.");
                break;
            case Kind::kMoved:
                r = moved(old_path.get(), p.get());
                break;
            case Kind::kMissing:
                r = report("missing", old_path.get(), nullptr, "File ", " is missing.");
                break;
        }
        if (r < 0) return -1;
    }
    if (not_checked(result.not_checked) < 0) return -1;
    return static_cast<long long>(result.failed_files);
}

int Findings::not_checked(size_t n) {
    not_checked_ += n;
    py::Ref count = py::Ref::steal(PyLong_FromSize_t(not_checked_));
    return count ? PyObject_SetAttrString(validator_, attr::kUncheckedFiles, count.get()) : -1;
}

int Findings::below_unread(PyObject* path) const {
    if (unread_.empty()) return 0;
    std::string key;
    if (path_key(path, key) < 0) return -1;
    return unread_.covers(key) ? 1 : 0;
}

long long Findings::unreadable_folders() {
    if (!unreadable_folders_) return 0;  // a validator whose fresh scan ran elsewhere
    py::Ref seq =
        py::Ref::steal(PySequence_Fast(unreadable_folders_, "folder errors must be a sequence"));
    if (!seq) return -1;
    long long count = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject *path, *exc;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "OO", &path, &exc)) return -1;
        py::Ref message = log_lines::unreadable_message(path, exc, "Folder");
        if (!message || warn(logger_, "unreadable", message.get()) < 0 ||
            record("unreadable", path, nullptr) < 0)
            return -1;
        // The top itself is shown as "."; no folder below it has that name.
        std::string key;
        const int top = PyUnicode_Check(path) ? PyUnicode_CompareWithASCIIString(path, ".") : 1;
        if (top != 0 && path_key(path, key) < 0) return -1;
        unread_.add(std::move(key));
        ++count;
    }
    return count;
}

}  // namespace mavelin::node_comparison
