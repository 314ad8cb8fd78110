// Small helpers shared by the binding modules: imports, calls, errors and log output.
#include "python/capi/common.h"

#include <cerrno>
#include <cstring>

#include "python/capi/entry.h"
#include "python/capi/state.h"

namespace mavelin::py {

Ref import(const char* name) {
    return Ref::steal(PyImport_ImportModule(name));
}

Ref import_attr(const char* module, const char* attr) {
    Ref mod = import(module);
    if (!mod) return {};
    return Ref::steal(PyObject_GetAttrString(mod.get(), attr));
}

int set_attr(PyObject* module, const char* name, PyObject* value) {
    return PyObject_SetAttrString(module, name, value);
}

Ref attr(PyObject* o, const char* name) {
    return Ref::steal(PyObject_GetAttrString(o, name));
}

int import_modules(PyObject* module, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        Ref mod = import(name);
        const char* dot = std::strrchr(name, '.');
        if (!mod || set_attr(module, dot ? dot + 1 : name, mod.get()) < 0) return -1;
    }
    return 0;
}

namespace {

// A module's __getattr__ for the modules it imports lazily; `self` is (module, names).
PyObject* lazy_module_attr(PyObject* self, PyObject* name) noexcept {
    PyObject* module = PyTuple_GET_ITEM(self, 0);
    const int known = PySequence_Contains(PyTuple_GET_ITEM(self, 1), name);
    if (known < 0) return nullptr;
    if (known == 0) {
        Ref modname = attr(module, "__name__");
        if (!modname) return nullptr;
        PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", modname.get(),
                     name);
        return nullptr;
    }
    Ref value = Ref::steal(PyImport_Import(name));
    if (!value || PyObject_SetAttr(module, name, value.get()) < 0) return nullptr;
    return value.release();
}

PyMethodDef lazy_module_attr_def = {
    "__getattr__", lazy_module_attr, METH_O,
    "__getattr__(name)\n--\n\nThe standard modules this module uses, imported on first use."};

}  // namespace

int import_modules_lazily(PyObject* module, std::initializer_list<const char*> names) {
    Ref list = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return -1;
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_FromString(name);
        if (s == nullptr) return -1;
        PyTuple_SET_ITEM(list.get(), i++, s);
    }
    Ref self = Ref::steal(PyTuple_Pack(2, module, list.get()));
    Ref modname = attr(module, "__name__");
    if (!self || !modname) return -1;
    Ref fn = Ref::steal(PyCFunction_NewEx(&lazy_module_attr_def, self.get(), modname.get()));
    return fn ? set_attr(module, "__getattr__", fn.get()) : -1;
}

int import_names(PyObject* module, const char* source, std::initializer_list<const char*> names) {
    Ref mod = import(source);
    if (!mod) return -1;
    for (const char* name : names) {
        Ref value = attr(mod.get(), name);
        if (!value || set_attr(module, name, value.get()) < 0) return -1;
    }
    return 0;
}

int add_function(PyObject* module, PyMethodDef* def) {
    Ref modname = attr(module, "__name__");
    if (!modname) return -1;
    Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get()));
    return fn ? set_attr(module, def->ml_name, fn.get()) : -1;
}

Ref join(PyObject* a, PyObject* b) {
    Ref fn = import_attr("posixpath", "join");
    if (!fn) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), a, b, nullptr));
}

Ref join(PyObject* a, const char* b) {
    Ref text = Ref::steal(PyUnicode_FromString(b));
    return text ? join(a, text.get()) : Ref();
}

int add_method(PyObject* cls, PyMethodDef* def) {
    Ref descr = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
    if (!descr) return -1;
    return PyObject_SetAttrString(cls, def->ml_name, descr.get());
}

Ref make_class(const char* module, const char* name, PyObject* ns) {
    Ref mod = Ref::steal(PyUnicode_FromString(module));
    Ref qual = Ref::steal(PyUnicode_FromString(name));
    if (!mod || !qual) return {};
    if (PyDict_SetItemString(ns, "__module__", mod.get()) < 0 ||
        PyDict_SetItemString(ns, "__qualname__", qual.get()) < 0)
        return {};
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return {};
    return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", name,
                                            bases.get(), ns));
}

namespace {

// The `__signature__` of a class made by make_class, computed when inspect asks for it: the
// signature of the class's __init__ without its first parameter. (inspect finds no signature
// of its own for a class whose __init__ is a method descriptor, and versions differ in how
// they try.)
PyObject* class_signature(PyObject*, PyObject* obj, PyObject* owner) {
    PyObject* cls = owner ? owner : reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref init = attr(cls, "__init__");
    Ref signature = import_attr("inspect", "signature");
    if (!init || !signature) return nullptr;
    Ref sig = Ref::steal(PyObject_CallOneArg(signature.get(), init.get()));
    Ref parameters = sig ? attr(sig.get(), "parameters") : Ref();
    Ref values = parameters ? Ref::steal(PyMapping_Values(parameters.get())) : Ref();
    if (!values) return nullptr;
    Ref rest = Ref::steal(PySequence_GetSlice(values.get(), 1, PY_SSIZE_T_MAX));
    Ref replace = attr(sig.get(), "replace");
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!rest || !replace || !no_args) return nullptr;
    Ref kw = Ref::steal(Py_BuildValue("{sO}", "parameters", rest.get()));
    if (!kw) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), kw.get());
}

PyType_Slot kSignatureSlots[] = {
    slot<class_signature>(Py_tp_descr_get),
    {0, nullptr},
};

PyType_Spec kSignatureSpec = {"mavelin._ClassSignature", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                              kSignatureSlots};

// The one `__signature__` descriptor shared by the classes (made on first use).
PyObject* signature_descriptor() {
    Ref& descriptor = state().class_signature;
    if (!descriptor) {
        Ref type = Ref::steal(PyType_FromSpec(&kSignatureSpec));
        if (!type) return nullptr;
        descriptor = Ref::steal(PyObject_CallNoArgs(type.get()));
    }
    return descriptor.get();
}

}  // namespace

Ref make_class(const char* module, const char* name, PyMethodDef* methods, size_t count,
               const char* doc) {
    Ref ns = Ref::steal(PyDict_New());
    Ref doc_text = Ref::steal(PyUnicode_FromString(doc));
    PyObject* signature = signature_descriptor();
    if (!ns || !doc_text || !signature ||
        PyDict_SetItemString(ns.get(), "__doc__", doc_text.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__signature__", signature) < 0)
        return {};
    Ref cls = make_class(module, name, ns.get());
    if (!cls) return {};
    for (size_t i = 0; i < count; ++i)
        if (add_method(cls.get(), &methods[i]) < 0) return {};
    return cls;
}

Ref ascii_text(const char* data, size_t n) {
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    if (text) std::memcpy(PyUnicode_DATA(text.get()), data, n);
    return text;
}

Ref decode_path(std::string_view bytes) {
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

int encode_path(PyObject* path, std::string& out) {
    Ref fs = Ref::steal(PyOS_FSPath(path));
    if (!fs) return -1;
    Ref bytes;
    if (PyUnicode_Check(fs.get())) {
        bytes = Ref::steal(PyUnicode_EncodeFSDefault(fs.get()));
        if (!bytes) return -1;
    } else {
        bytes = fs;
    }
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return -1;
    if (std::memchr(data, 0, static_cast<size_t>(len)) != nullptr) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return -1;
    }
    out.assign(data, static_cast<size_t>(len));
    return 0;
}

Ref display_text(PyObject* text) {
    Ref str = Ref::steal(PyObject_Str(text));
    if (!str) return {};
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str.get());
    const int kind = PyUnicode_KIND(str.get());
    const void* data = PyUnicode_DATA(str.get());
    // Control characters (C0, DEL, C1) and the line and paragraph separators: every character
    // that some reader takes as the end of a line (str.splitlines takes 0x0a-0x0d, 0x1c-0x1e,
    // 0x85, U+2028 and U+2029).
    auto escaped = [](Py_UCS4 c) {
        return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 ||
               (c >= 0xd800 && c <= 0xdfff);
    };
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) plain = !escaped(PyUnicode_READ(kind, data, i));
    if (plain) return str;
    std::u32string out;
    out.reserve(static_cast<size_t>(n) + 16);
    auto append_hex = [&out](const char* prefix, unsigned value, int digits) {
        for (const char* p = prefix; *p; ++p) out.push_back(static_cast<char32_t>(*p));
        for (int d = digits - 1; d >= 0; --d)
            out.push_back(static_cast<char32_t>("0123456789abcdef"[(value >> (4 * d)) & 0xf]));
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\n') {
            out += U"\\n";
        } else if (c == '\t') {
            out += U"\\t";
        } else if (c == '\r') {
            out += U"\\r";
        } else if (c >= 0xdc80 && c <= 0xdcff) {
            append_hex("\\x", c - 0xdc00, 2);  // an undecodable byte of the file name
        } else if (c < 0x20 || c == 0x7f) {
            append_hex("\\x", c, 2);
        } else if (escaped(c)) {
            // Other surrogates, C1 controls and U+2028/U+2029: \uNNNN, never read as bytes.
            append_hex("\\u", c, 4);
        } else {
            out.push_back(static_cast<char32_t>(c));
        }
    }
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                static_cast<Py_ssize_t>(out.size())));
}

Ref get_logger(const char* name) {
    Ref get = import_attr("logging", "getLogger");
    if (!get) return {};
    return Ref::steal(PyObject_CallFunction(get.get(), "s", name));
}

int log(PyObject* logger, const char* level, PyObject* message) {
    Ref r = Ref::steal(PyObject_CallMethod(logger, level, "O", message));
    return r ? 0 : -1;
}

int log(PyObject* logger, const char* level, const char* message) {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    if (!text) return -1;
    return log(logger, level, text.get());
}

FetchedError fetch_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    return {Ref::steal(type), Ref::steal(value), Ref::steal(tb)};
}

PyObject* exit_request() {
    Ref code = Ref::steal(PyLong_FromLong(1));
    if (code) PyErr_SetObject(PyExc_SystemExit, code.get());
    return nullptr;
}

}  // namespace mavelin::py
