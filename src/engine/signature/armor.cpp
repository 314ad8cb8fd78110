// The key fingerprint of an armored OpenSSH signature: base64 body, SSHSIG blob, public key.
#include "engine/signature/armor.h"

#include <cstdint>
#include <vector>

#include "engine/hash/sha256/sha256.h"

namespace mavelin::signature {
namespace {

constexpr std::string_view kBegin = "-----BEGIN SSH SIGNATURE-----";
constexpr std::string_view kEnd = "-----END SSH SIGNATURE-----";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The bytes of base64 text (line breaks skipped, '=' ends it); false on any other character.
bool decode(std::string_view text, std::vector<uint8_t>& out) {
    uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        if (c == '\n' || c == '\r') continue;
        if (c == '=') break;
        const char* at = std::char_traits<char>::find(kAlphabet, 64, c);
        if (!at) return false;
        acc = (acc << 6) | static_cast<uint32_t>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return true;
}

std::string encode_unpadded(const uint8_t* data, size_t len) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < len; ++i) {
        acc = (acc << 8) | data[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(kAlphabet[(acc >> bits) & 63]);
        }
    }
    if (bits > 0) out.push_back(kAlphabet[(acc << (6 - bits)) & 63]);
    return out;
}

}  // namespace

std::string key_fingerprint(std::string_view armored) {
    const size_t begin = armored.find(kBegin);
    const size_t end = armored.find(kEnd);
    if (begin != 0 || end == std::string_view::npos) return {};
    std::vector<uint8_t> blob;
    if (!decode(armored.substr(kBegin.size(), end - kBegin.size()), blob)) return {};
    // "SSHSIG", version (4 bytes), then the public key as a string (4-byte length, bytes).
    constexpr size_t kKeyAt = 6 + 4;
    if (blob.size() < kKeyAt + 4 ||
        std::string_view(reinterpret_cast<const char*>(blob.data()), 6) != "SSHSIG")
        return {};
    const size_t n = (size_t{blob[kKeyAt]} << 24) | (size_t{blob[kKeyAt + 1]} << 16) |
                     (size_t{blob[kKeyAt + 2]} << 8) | blob[kKeyAt + 3];
    if (n > blob.size() - kKeyAt - 4) return {};
    const hash::sha256::Digest d = hash::sha256::hash(blob.data() + kKeyAt + 4, n);
    return "SHA256:" + encode_unpadded(d.data(), d.size());
}

}  // namespace mavelin::signature
