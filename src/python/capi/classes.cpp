// Plain classes built at load time: `type(name, (), ns)` with C functions as method descriptors
// and a `__signature__` that inspect can read.
#include "python/capi/classes.h"

#include "python/capi/entry.h"
#include "python/capi/import.h"
#include "python/capi/state.h"

namespace mavelin::py {

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

}  // namespace mavelin::py
