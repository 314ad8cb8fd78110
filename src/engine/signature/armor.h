// What an armored OpenSSH signature (-----BEGIN SSH SIGNATURE-----) says of itself without any
// check: the fingerprint of the public key it names.
#pragma once

#include <string>
#include <string_view>

namespace mavelin::signature {

// "SHA256:" and the unpadded base64 of the SHA-256 of the public key blob that the signature
// names, as ssh-keygen prints it; empty when `armored` is no signature of that form.
std::string key_fingerprint(std::string_view armored);

}  // namespace mavelin::signature
