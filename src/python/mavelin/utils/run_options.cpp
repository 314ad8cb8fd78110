// The arguments of a run: one parser for the procedures and the library functions.
#include "python/mavelin/utils/run_options.h"

#include <array>
#include <cstring>
#include <variant>

namespace mavelin::procedures {
namespace {

constexpr unsigned kSigning = unsigned(Call::kSignFolder) | unsigned(Call::kSign);
constexpr unsigned kValidation = unsigned(Call::kValidateCertificate) | unsigned(Call::kValidate);
constexpr unsigned kEvery = kSigning | kValidation;

// Where an argument goes: an object, a flag (its truth), or a text without NUL (a str).
using Field =
    std::variant<PyObject * RunOptions::*, bool RunOptions::*, const char * RunOptions::*>;

struct Keyword {
    const char* name;
    unsigned calls;  // the calls that take it
    Field field;
};

// The keyword-only options, for every call that takes them.
constexpr std::array<Keyword, 16> kKeywords = {{
    {"match", kValidation, &RunOptions::match},
    {"summary", kValidation, &RunOptions::summary},
    {"report", kEvery, &RunOptions::report},
    {"jobs", kEvery, &RunOptions::jobs},
    {"output", kSigning, &RunOptions::output},
    {"progress", kEvery, &RunOptions::progress},
    {"scheduler", kEvery, &RunOptions::scheduler},
    {"client", kEvery, &RunOptions::client},
    {"key", kSigning, &RunOptions::key},
    {"allowed_signers", kValidation, &RunOptions::allowed_signers},
    {"identity", kValidation, &RunOptions::identity},
    {"update", kSigning, &RunOptions::update},
    {"certificate", kSigning, &RunOptions::certificate},
    {"check_metadata", kValidation, &RunOptions::check_metadata},
    {"keep_cache", kEvery, &RunOptions::keep_cache},
    {"direct", kEvery, &RunOptions::direct},
}};

// The positional-or-keyword parameters of a call, in order, and how many are required.
struct Positional {
    const char* name;
    const char* names[2];
    PyObject* RunOptions::*fields[2];
    int required;
};

Positional positional(Call call) {
    switch (call) {
        case Call::kSignFolder:
            return {
                "sign_folder", {"dir_path", "mode"}, {&RunOptions::dir_path, &RunOptions::mode}, 1};
        case Call::kValidateCertificate:
            return {"validate_certificate",
                    {"dir_path", "certificate_file"},
                    {&RunOptions::dir_path, &RunOptions::certificate},
                    2};
        case Call::kSign:
            return {"sign", {"dir", nullptr}, {&RunOptions::dir_path, nullptr}, 1};
        case Call::kValidate:
            return {"validate",
                    {"dir", "certificate"},
                    {&RunOptions::dir_path, &RunOptions::certificate},
                    1};
    }
    return {};
}

int set(const Positional& p, const Field& field, const char* name, PyObject* value, RunOptions& o) {
    if (auto* object = std::get_if<PyObject * RunOptions::*>(&field)) {
        o.*(*object) = value;
    } else if (auto* flag = std::get_if<bool RunOptions::*>(&field)) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) return -1;
        o.*(*flag) = truth != 0;
    } else {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
        if (!text) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.100s", p.name,
                             name, Py_TYPE(value)->tp_name);
            return -1;
        }
        if (std::strlen(text) != static_cast<size_t>(size)) {
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            return -1;
        }
        o.*std::get<const char * RunOptions::*>(field) = text;
    }
    return 0;
}

}  // namespace

fs::ReadMode read_mode(const RunOptions& o) {
    if (o.direct) return fs::ReadMode::kDirect;
    return o.keep_cache ? fs::ReadMode::kKeepCache : fs::ReadMode::kCacheNeutral;
}

int parse(Call call, PyObject* args, PyObject* kwargs, RunOptions& o) {
    const Positional p = positional(call);
    const int slots = p.names[1] ? 2 : 1;
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > slots) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional arguments (%zd given)",
                     p.name, slots, given);
        return -1;
    }
    bool filled[2] = {false, false};
    for (Py_ssize_t i = 0; i < given; ++i) {
        o.*(p.fields[i]) = PyTuple_GET_ITEM(args, i);
        filled[i] = true;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (!name) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return -1;
        }
        bool known = false;
        for (int i = 0; i < slots && !known; ++i) {
            if (std::strcmp(name, p.names[i]) != 0) continue;
            if (filled[i]) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position",
                             p.name, name);
                return -1;
            }
            o.*(p.fields[i]) = value;
            filled[i] = known = true;
        }
        for (const Keyword& k : kKeywords) {
            if (known || !(k.calls & unsigned(call)) || std::strcmp(name, k.name) != 0) continue;
            if (set(p, k.field, name, value, o) < 0) return -1;
            known = true;
        }
        if (!known) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", p.name,
                         name);
            return -1;
        }
    }
    for (int i = 0; i < p.required; ++i) {
        if (filled[i]) continue;
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", p.name,
                     p.names[i], i + 1);
        return -1;
    }
    if (std::strcmp(o.match, "path") != 0 && std::strcmp(o.match, "position") != 0) {
        PyErr_Format(PyExc_ValueError, "match must be 'path' or 'position', not '%s'", o.match);
        return -1;
    }
    return 0;
}

}  // namespace mavelin::procedures
