// OpenSSH's file signatures made and checked by the system's ssh-keygen, run as a child process
// (found on PATH, no shell): the signed bytes go through its standard input, a signature to be
// checked through an anonymous memory file at descriptor 3, so no name anyone else controls
// is ever read or written.
#pragma once

#include <string>
#include <string_view>

namespace mavelin::signature {

// Why a step failed, for a caller that says which in its own words.
enum class Failure {
    kNone,
    kNoTool,        // no ssh-keygen on PATH, or it could not be started
    kSigning,       // -Y sign failed (key unreadable, passphrase not given, agent without key)
    kNamespace,     // the signature was made in another namespace
    kBadSignature,  // the signature does not match the signed bytes, or is damaged
    kNotListed,     // no trusted signer has the signing key (for the identity asked for)
    kExpired,       // the signer's key is outside its valid-after/valid-before period
};

struct Outcome {
    Failure failure = Failure::kNone;
    std::string message;      // ssh-keygen's own reason (its error output, one line), if any
    std::string fingerprint;  // "SHA256:..." of the signing key, once known
    std::string principal;    // the trusted signer's principal, after verify()
};

// Signs `data` with the key at `key_path` (a private key, or a public key whose private half
// ssh-agent holds) in `name_space`; `signature` receives the armored signature.
Outcome sign(const std::string& key_path, std::string_view data, std::string_view name_space,
             std::string* signature);

// Whether `signature` is a sound signature of `data` in `name_space`, whoever made it
// (check-novalidate); gives the key's fingerprint.
Outcome check(std::string_view signature, std::string_view data, std::string_view name_space);

// Whether `signature` of `data` in `name_space` was made by a signer that the allowed-signers
// file at `allowed_signers` trusts: as `identity` when not empty, else as the first principal
// the file lists for the key (find-principals). Gives the principal and the key's fingerprint.
Outcome verify(std::string_view signature, std::string_view data, std::string_view name_space,
               const std::string& allowed_signers, const std::string& identity);

}  // namespace mavelin::signature
