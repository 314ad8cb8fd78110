// A certificate's signature: made when signing with a key, checked (against trusted signers when
// they are given) before anything in the certificate is trusted.
#pragma once

#include <string>

#include "python/capi/handle.h"
#include "python/certificate/writer.h"

namespace mavelin::certificate {

// What is known of a certificate's signature.
struct SignatureFacts {
    bool is_signed = false;
    bool verified = false;     // its signer was found among the trusted signers
    std::string principal;     // that signer's principal (verified only)
    std::string fingerprint;   // "SHA256:..." of the signing key
    std::string signing_time;  // the description's creation time
    py::Ref description;       // the description document (a dict), when the archive has one
    std::string refusal;       // why the signature was refused; empty: it was not

    // {"signed", "verified", "principal", "key_fingerprint", "signing_time"} (None where
    // unknown); null with an exception set.
    py::Ref as_dict() const;
};

// Makes `extras` sign the description with the key at `key_path`; `facts` receives the key's
// fingerprint and `error` the reason of a failure once the certificate is written.
void sign_with(const std::string& key_path, Extras& extras, SignatureFacts& facts,
               std::string& error);

// Checks the certificate at `path`: a signed one must be consistent (the signature sound for its
// description in our namespace, every member the description lists of the digest it gives)
// and, when `allowed_signers` is not empty, made by a signer that file trusts (as `identity`
// when not empty); an unsigned one passes only without trusted signers. 0 when it passes
// (`facts` filled; an unsigned certificate is left as it is, for the reader to judge), 1 when
// it is refused (`refusal` says why, in one line, nothing set), -1 with an exception set.
int check_signature(PyObject* path, const std::string& allowed_signers, const std::string& identity,
                    SignatureFacts& facts, std::string& refusal);

}  // namespace mavelin::certificate
