// mavelin.results.Signature: the state of the signature of the certificate a run wrote or read,
// a frozen dataclass built at load time from the report's signature object.
#include <array>

#include "python/capi/state.h"
#include "python/mavelin/results.h"

namespace mavelin::results {
namespace {

// The fields in order, with their annotations; the report's names and meanings.
constexpr std::array<Field, 5> kFields = {{
    {"signed", "bool"},
    {"verified", "bool"},
    {"principal", "str | None"},
    {"key_fingerprint", "str | None"},
    {"signing_time", "str | None"},
}};

constexpr const char kDoc[] =
    "The signature of the certificate a run wrote or read, as the report's signature object.\n\n"
    "signed: always True (an unsigned certificate has no Signature).\n"
    "verified: the signer was found among the trusted signers (allowed_signers); False when\n"
    "    none were given, or when signing.\n"
    "principal: the trusted signer's principal, when verified.\n"
    "key_fingerprint: the signing key's SHA256:... fingerprint.\n"
    "signing_time: the certificate's creation time (UTC, ISO 8601) from its signed description.";

}  // namespace

PyObject* signature_class() {
    py::Ref& cls = py::state().signature_class;
    if (cls) return cls.get();
    py::Ref ns = py::Ref::steal(Py_BuildValue("{ss}", "__doc__", kDoc));
    if (!ns) return nullptr;
    cls = frozen_dataclass("Signature", ns.get(), kFields);
    return cls.get();
}

py::Ref signature(PyObject* facts) {
    PyObject* cls = signature_class();
    if (!cls) return {};
    py::Ref args = py::Ref::steal(PyTuple_New(kFields.size()));
    if (!args) return {};
    for (size_t i = 0; i < kFields.size(); ++i) {
        PyObject* value = PyDict_GetItemString(facts, kFields[i][0]);  // borrowed
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i),
                         Py_NewRef(value ? value : Py_None));
    }
    return py::Ref::steal(PyObject_Call(cls, args.get(), nullptr));
}

}  // namespace mavelin::results
