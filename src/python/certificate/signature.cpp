// A certificate's signature made with ssh-keygen when signing, and checked with it, together with
// the digests of the description, before a certificate is trusted.
#include "python/certificate/signature.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/signature/armor.h"
#include "engine/signature/ssh_keygen.h"
#include "engine/zip/reader.h"
#include "python/capi/gil.h"
#include "python/capi/import.h"
#include "python/capi/paths.h"
#include "python/certificate/pinned_archive.h"

namespace mavelin::certificate {
namespace {

namespace sig = mavelin::signature;
constexpr std::string_view kNamespace = certificate_format::kSignatureNamespace;
// Larger descriptions and signatures than these are not ours.
constexpr uint64_t kDescriptionCap = uint64_t{1} << 20;
constexpr uint64_t kSignatureCap = uint64_t{64} << 10;

// The refusal for a failed check of the signature.
std::string refusal_of(const sig::Outcome& o, const std::string& allowed_signers) {
    const std::string why = o.message.empty() ? "" : " (" + o.message + ")";
    const std::string key = o.fingerprint.empty() ? "its key" : "key " + o.fingerprint;
    switch (o.failure) {
        case sig::Failure::kNoTool:
            return "The certificate's signature cannot be checked: " + o.message;
        case sig::Failure::kNamespace:
            return "The certificate's signature was made for another purpose than a certificate "
                   "(not in namespace " +
                   std::string(kNamespace) + ")" + why;
        case sig::Failure::kNotListed:
            return "The certificate was signed by " + key + ", which is not a trusted signer in " +
                   allowed_signers + why;
        case sig::Failure::kExpired:
            return "The certificate was signed by " + key +
                   ", whose trust has expired or not begun in " + allowed_signers + why;
        default:
            return "The certificate's signature does not match its description" + why;
    }
}

// The content of the member `m` read whole; false when it is larger than `cap` or cannot be read.
bool read_small(zip::Source& src, const std::string& archive, const zip::MemberEntry& m,
                uint64_t cap, std::string& out) {
    if (m.size > cap || m.compressed > cap) return false;
    zip::Member member;
    zip::Error err;
    if (zip::read_member(src, archive, m.name, &member, &err) != zip::Status::kOk) return false;
    out.assign(member.data.begin(), member.data.end());
    return true;
}

// The SHA-256 of the member `name`'s content, streamed; false when it cannot be read whole.
bool digest_member(const std::shared_ptr<zip::Source>& src, const std::string& archive,
                   const std::string& name, hash::sha256::Digest& out) {
    zip::MemberStream stream;
    zip::Error err;
    if (stream.open(src, archive, name, &err) != zip::Status::kOk) return false;
    std::vector<uint8_t> buf(size_t{1} << 20);
    hash::sha256::Hasher h;
    for (;;) {
        const std::ptrdiff_t n = stream.read(buf.data(), buf.size());
        if (n < 0) return false;
        if (n == 0) break;
        h.update(buf.data(), static_cast<size_t>(n));
    }
    out = h.finish();
    return true;
}

// Parses the description; null with nothing set when it is no JSON object.
py::Ref parse_description(const std::string& text) {
    py::Ref loads = py::import_attr("json", "loads");
    if (!loads) return {};
    py::Ref doc = py::Ref::steal(PyObject_CallFunction(loads.get(), "s#", text.data(),
                                                       static_cast<Py_ssize_t>(text.size())));
    if (!doc || !PyDict_Check(doc.get())) {
        PyErr_Clear();
        return {};
    }
    return doc;
}

// The member digests the description lists: (name, digest) pairs; false when they are missing
// or not in the form the writer gives them.
bool listed_digests(PyObject* description,
                    std::vector<std::pair<std::string, hash::sha256::Digest>>& out) {
    PyObject* table = PyDict_GetItemString(description, "sha256");  // borrowed
    if (!table || !PyDict_Check(table)) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(table, &pos, &key, &value)) {
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        const char* hex = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
        hash::sha256::Digest d;
        if (!name || !hex || std::string_view(hex).size() != 64 ||
            !hash::sha256::from_hex(hex, d)) {
            PyErr_Clear();
            return false;
        }
        out.emplace_back(name, d);
    }
    return true;
}

int put(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return -1;
    const int r = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return r;
}

PyObject* text_or_none(const std::string& s) {
    if (s.empty()) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

}  // namespace

py::Ref SignatureFacts::as_dict() const {
    py::Ref d = py::Ref::steal(PyDict_New());
    if (!d || put(d.get(), "signed", PyBool_FromLong(is_signed)) < 0 ||
        put(d.get(), "verified", PyBool_FromLong(verified)) < 0 ||
        put(d.get(), "principal", text_or_none(principal)) < 0 ||
        put(d.get(), "key_fingerprint", text_or_none(fingerprint)) < 0 ||
        put(d.get(), "signing_time", text_or_none(signing_time)) < 0 ||
        (!refusal.empty() && put(d.get(), "refusal", text_or_none(refusal)) < 0))
        return {};
    return d;
}

void sign_with(const std::string& key_path, Extras& extras, SignatureFacts& facts,
               std::string& error) {
    extras.sign = [key_path, &facts, &error](const std::string& description, std::string* signature,
                                             std::string* why) {
        const sig::Outcome o = sig::sign(key_path, description, kNamespace, signature);
        if (o.failure != sig::Failure::kNone) {
            error = "The certificate could not be signed with " + key_path + ": " + o.message;
            *why = error;
            return false;
        }
        facts.is_signed = true;
        facts.fingerprint = sig::key_fingerprint(*signature);
        const size_t at = description.find("\"created\":\"");
        if (at != std::string::npos)
            facts.signing_time =
                description.substr(at + 11, description.find('"', at + 11) - at - 11);
        return true;
    };
}

int check_signature(PyObject* path, const std::string& allowed_signers, const std::string& identity,
                    SignatureFacts& facts, std::string& refusal) {
    std::string archive;
    if (py::encode_path(path, archive) < 0) return -1;
    const bool required = !allowed_signers.empty();
    std::vector<zip::MemberEntry> members;
    zip::Error err;
    // Every member is read from the one file opened here, which the run's reading of the table
    // shares when the run pinned it (PinnedArchive).
    std::shared_ptr<zip::Source> src;
    const zip::Status listed = py::without_gil([&] {
        try {
            src = archive_source(archive, &err);
        } catch (const std::bad_alloc&) {
            return zip::os_error(&err, ENOMEM, archive);
        }
        return src ? zip::list_members(*src, archive, &members, &err) : err.status;
    });
    if (listed != zip::Status::kOk) {
        // Without trusted signers the reader judges the archive as it always did, and a file
        // that cannot be opened or read fails there with its OSError either way.
        if (!required || listed == zip::Status::kOsError) return 0;
        refusal = "Certificate file is corrupted: " + err.message;
        return 1;
    }
    auto find = [&](const char* name) -> const zip::MemberEntry* {
        for (const zip::MemberEntry& m : members)
            if (m.name == name) return &m;
        return nullptr;
    };
    const zip::MemberEntry* sig_member = find(certificate_format::kSignatureName);
    const zip::MemberEntry* desc_member = find(certificate_format::kDescriptionName);
    std::string description, signature;
    if (desc_member) {
        const bool ok = py::without_gil(
            [&] { return read_small(*src, archive, *desc_member, kDescriptionCap, description); });
        if (ok) facts.description = parse_description(description);
        if (PyErr_Occurred()) return -1;
    }
    if (!sig_member) {
        if (!required) return 0;
        refusal = "The certificate is not signed, but a trusted signer is required (" +
                  allowed_signers + ")";
        return 1;
    }
    facts.is_signed = true;
    if (!desc_member || !facts.description || !py::without_gil([&] {
            return read_small(*src, archive, *sig_member, kSignatureCap, signature);
        })) {
        refusal =
            "The certificate's signature does not match its description (the description "
            "or the signature is missing or damaged)";
        return 1;
    }
    PyObject* created = PyDict_GetItemString(facts.description.get(), "created");  // borrowed
    if (created && PyUnicode_Check(created)) {
        const char* text = PyUnicode_AsUTF8(created);
        if (!text) return -1;
        facts.signing_time = text;
    }
    const sig::Outcome o = py::without_gil([&] {
        return required ? sig::verify(signature, description, kNamespace, allowed_signers, identity)
                        : sig::check(signature, description, kNamespace);
    });
    facts.fingerprint = o.fingerprint;
    if (o.failure != sig::Failure::kNone) {
        refusal = refusal_of(o, allowed_signers);
        return 1;
    }
    // The description is authentic: every member it lists must be what it says.
    std::vector<std::pair<std::string, hash::sha256::Digest>> digests;
    const bool well_formed = listed_digests(facts.description.get(), digests);
    const bool lists_payload = std::any_of(digests.begin(), digests.end(), [](const auto& d) {
        return d.first == certificate_format::kPayloadName;
    });
    if (!well_formed || !lists_payload) {
        refusal = "The certificate's signed description lists no digest of its payload";
        return 1;
    }
    for (const auto& listed : digests) {
        const std::string& name = listed.first;
        hash::sha256::Digest actual{};
        const bool read = find(name.c_str()) && py::without_gil([&] {
                              return digest_member(src, archive, name, actual);
                          });
        if (!read || actual != listed.second) {
            refusal = "The certificate's " + name +
                      " does not match the digest in its signed description: it was changed "
                      "after signing";
            return 1;
        }
    }
    for (const auto& listed : digests)
        if (listed.first == certificate_format::kPayloadName)
            expect_payload_digest(archive, listed.second);
    facts.principal = o.principal;
    facts.verified = required;
    return 0;
}

}  // namespace mavelin::certificate
