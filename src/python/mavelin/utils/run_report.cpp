// The JSON report of a run (--report) and the counts of findings by kind (--summary).
#include "python/mavelin/utils/run_report.h"

#include <atomic>
#include <cstring>
#include <string>

#include "engine/fs/atomic_file.h"
#include "engine/report/json_writer.h"
#include "python/capi/errors.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"
#include "python/capi/text.h"

namespace mavelin::run_report {
namespace {

constexpr int kFormatVersion = 1;

// The code points of str(value); paths given as bytes are decoded as the host decodes file names.
int code_points(PyObject* value, std::u32string& out) {
    py::Ref text =
        PyBytes_Check(value)
            ? py::decode_path(std::string_view(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)))
            : py::Ref::steal(PyOS_FSPath(value));
    if (!text) {
        PyErr_Clear();
        text = py::Ref::steal(PyObject_Str(value));
        if (!text) return -1;
    }
    if (PyBytes_Check(text.get()))
        text = py::decode_path(
            std::string_view(PyBytes_AS_STRING(text.get()), PyBytes_GET_SIZE(text.get())));
    if (!text || !PyUnicode_Check(text.get())) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a path must give text");
        return -1;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    const int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        out[static_cast<size_t>(i)] = static_cast<char32_t>(PyUnicode_READ(kind, data, i));
    return 0;
}

int put_text(report::JsonWriter& w, PyObject* value) {
    if (!value || value == Py_None) {
        w.null();
        return 0;
    }
    std::u32string text;
    if (code_points(value, text) < 0) return -1;
    w.text(text);
    return 0;
}

int put_integer(report::JsonWriter& w, PyObject* value) {
    if (!value || value == Py_None) {
        w.integer(0);
        return 0;
    }
    const long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return -1;
    w.integer(v);
    return 0;
}

int put_seconds(report::JsonWriter& w, const Facts& f) {
    py::Ref value = seconds(f);
    if (!value) return -1;
    const double v = PyFloat_AsDouble(value.get());
    if (v == -1.0 && PyErr_Occurred()) return -1;
    w.number(v);
    return 0;
}

int put_findings(report::JsonWriter& w, PyObject* findings) {
    w.begin_array();
    const Py_ssize_t n = findings ? PyList_Size(findings) : 0;
    if (n < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(findings, i);
        PyObject *kind, *path, *other;
        if (!PyArg_ParseTuple(item, "OOO", &kind, &path, &other)) return -1;
        w.begin_object();
        w.key("kind");
        if (put_text(w, kind) < 0) return -1;
        w.key("path");
        if (put_text(w, path) < 0) return -1;
        w.key("other_path");
        if (put_text(w, other) < 0) return -1;
        w.end_object();
    }
    w.end_array();
    return 0;
}

int put_list(report::JsonWriter& w, PyObject* list) {
    w.begin_array();
    const Py_ssize_t n = list ? PyList_Size(list) : 0;
    if (n < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (put_text(w, PyList_GET_ITEM(list, i)) < 0) return -1;
    w.end_array();
    return 0;
}

// "signature": the facts of a signed certificate, in a fixed order; "refusal" when it was refused.
int put_signature(report::JsonWriter& w, PyObject* facts) {
    w.key("signature");
    w.begin_object();
    for (const char* name : {"signed", "verified"}) {
        w.key(name);
        w.boolean(PyObject_IsTrue(PyDict_GetItemString(facts, name)) == 1);
    }
    for (const char* name : {"principal", "key_fingerprint", "signing_time"}) {
        w.key(name);
        if (put_text(w, PyDict_GetItemString(facts, name)) < 0) return -1;
    }
    if (PyObject* refusal = PyDict_GetItemString(facts, "refusal")) {  // borrowed
        w.key("refusal");
        if (put_text(w, refusal) < 0) return -1;
    }
    w.end_object();
    return 0;
}

int build(const Facts& f, std::string& out) {
    std::array<long long, kKinds.size()> counts{};
    if (f.findings && count_kinds(f.findings.get(), counts) < 0) return -1;
    report::JsonWriter w;
    w.begin_object();
    w.key("format_version");
    w.integer(kFormatVersion);
    w.key("command");
    w.ascii(f.command);
    w.key("directory");
    if (put_text(w, f.directory.get()) < 0) return -1;
    w.key("certificate");
    if (put_text(w, f.certificate.get()) < 0) return -1;
    w.key("match");
    if (f.match)
        w.ascii(f.match);
    else
        w.null();
    w.key("passed");
    w.boolean(f.passed);
    w.key("counts");
    w.begin_object();
    w.key("files");
    if (put_integer(w, f.files.get()) < 0) return -1;
    w.key("bytes");
    if (put_integer(w, f.bytes.get()) < 0) return -1;
    if (f.reread && f.reused) {
        w.key("reread");
        if (put_integer(w, f.reread.get()) < 0) return -1;
        w.key("reused");
        if (put_integer(w, f.reused.get()) < 0) return -1;
    }
    w.key("seconds");
    if (put_seconds(w, f) < 0) return -1;
    w.key("failed_files");
    if (put_integer(w, f.failed_files.get()) < 0) return -1;
    w.key("not_checked");
    if (put_integer(w, f.not_checked.get()) < 0) return -1;
    w.key("findings");
    w.begin_object();
    for (size_t k = 0; k < kKinds.size(); ++k) {
        w.key(kKinds[k]);
        w.integer(counts[k]);
    }
    w.end_object();
    w.end_object();
    w.key("findings");
    if (put_findings(w, f.findings.get()) < 0) return -1;
    w.key("uncertified_folders");
    if (put_list(w, f.uncertified.get()) < 0) return -1;
    w.key("uncertified_links");
    if (put_list(w, f.uncertified_links.get()) < 0) return -1;
    if (f.signature && put_signature(w, f.signature.get()) < 0) return -1;
    w.end_object();
    out = w.str();
    out += '\n';
    return 0;
}

int to_stdout(const std::string& text) {
    PyObject* stream = PySys_GetObject("stdout");  // borrowed
    if (!stream || stream == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "sys.stdout is not available");
        return -1;
    }
    py::Ref str = py::ascii_text(text.data(), text.size());
    if (!str) return -1;
    py::Ref r = py::Ref::steal(PyObject_CallMethod(stream, "write", "O", str.get()));
    if (!r) return -1;
    r = py::Ref::steal(PyObject_CallMethod(stream, "flush", nullptr));
    return r ? 0 : -1;
}

int to_file(PyObject* destination, const std::string& text) {
    std::string target;
    if (py::encode_path(destination, target) < 0) return -1;
    fs::AtomicFile file;
    fs::OsError err;
    std::atomic<bool> cancel{false};  // Ctrl-C ends the wait for the folder's lock
    int rc = 0;
    auto work = [&]() noexcept {
        rc = file.open(target, &err, fs::Sync::kFile, &cancel);
        if (rc == 0) rc = file.write_all(text.data(), text.size(), &err);
        if (rc == 0) rc = file.commit(&err);
    };
    if (py::run_interruptible(work, cancel) < 0) return -1;
    if (rc != 0) {
        py::set_os_error(err.code, err.path.empty() ? target : err.path);
        return -1;
    }
    return 0;
}

}  // namespace

int count_kinds(PyObject* findings, std::array<long long, kKinds.size()>& counts) {
    counts.fill(0);
    const Py_ssize_t n = PyList_Size(findings);
    if (n < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(findings, i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < 1) continue;
        const char* kind = PyUnicode_Check(PyTuple_GET_ITEM(item, 0))
                               ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 0))
                               : nullptr;
        if (!kind) {
            PyErr_Clear();
            continue;
        }
        for (size_t k = 0; k < kKinds.size(); ++k)
            if (std::strcmp(kind, kKinds[k]) == 0) ++counts[k];
    }
    return 0;
}

py::Ref seconds(const Facts& facts) {
    py::Ref span = py::Ref::steal(PyNumber_Subtract(facts.end.get(), facts.start.get()));
    if (!span) return {};
    return py::Ref::steal(PyObject_CallMethod(span.get(), "total_seconds", nullptr));
}

int write(PyObject* destination, const Facts& facts) {
    std::string text;  // a failed allocation reaches the caller's boundary as MemoryError
    if (build(facts, text) < 0) return -1;
    py::Ref dash = py::Ref::steal(PyUnicode_FromString("-"));
    if (!dash) return -1;
    const int is_dash = PyObject_RichCompareBool(destination, dash.get(), Py_EQ);
    if (is_dash < 0) return -1;
    return is_dash ? to_stdout(text) : to_file(destination, text);
}

}  // namespace mavelin::run_report
