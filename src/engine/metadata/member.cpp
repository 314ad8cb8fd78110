// The metadata member Certificate.files: its binary layout, written as a stream and read back
// with every length checked against the member's own size.
#include "engine/metadata/member.h"

#include <algorithm>
#include <cstring>

namespace mavelin::metadata {
namespace {

constexpr std::size_t kPiece = 64 * 1024;

class Out {
  public:
    explicit Out(const Sink& sink) : sink_(sink) { buf_.reserve(kPiece); }
    void u32(std::uint32_t v) { put(v, 4); }
    void u64(std::uint64_t v) { put(v, 8); }
    void bytes(std::string_view s) {
        while (!s.empty()) {
            const std::size_t n = std::min(s.size(), kPiece - buf_.size());
            buf_.append(s.substr(0, n));
            s.remove_prefix(n);
            if (buf_.size() == kPiece) flush();
        }
    }
    void flush() {
        if (!buf_.empty()) sink_(buf_);
        buf_.clear();
    }

  private:
    void put(std::uint64_t v, int n) {
        char b[8];
        for (int k = 0; k < n; ++k) b[k] = static_cast<char>((v >> (8 * k)) & 0xff);
        bytes(std::string_view(b, static_cast<std::size_t>(n)));
    }
    const Sink& sink_;
    std::string buf_;
};

class In {
  public:
    In(const char* data, std::size_t size) : p_(data), left_(size) {}
    std::size_t left() const { return left_; }
    bool u32(std::uint32_t& v) {
        std::uint64_t w;
        if (!get(w, 4)) return false;
        v = static_cast<std::uint32_t>(w);
        return true;
    }
    bool u64(std::uint64_t& v) { return get(v, 8); }
    bool bytes(std::size_t n, std::string& s) {
        if (n > left_) return false;
        s.assign(p_, n);
        p_ += n;
        left_ -= n;
        return true;
    }

  private:
    bool get(std::uint64_t& v, int n) {
        if (left_ < static_cast<std::size_t>(n)) return false;
        v = 0;
        for (int k = 0; k < n; ++k)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(p_[k])) << (8 * k);
        p_ += n;
        left_ -= static_cast<std::size_t>(n);
        return true;
    }
    const char* p_;
    std::size_t left_;
};

}  // namespace

void write_member(const FileStats& stats, const Sink& sink) {
    Out out(sink);
    out.bytes(std::string_view(kMagic, sizeof kMagic));
    out.u32(kVersion);
    out.u32(kRecordSize);
    out.u64(stats.size());
    out.u64(stats.links().size());
    out.u64(static_cast<std::uint64_t>(stats.taken_ns));
    out.u32(stats.chunk_size);
    out.u32(stats.step);
    for (std::size_t i = 0; i < stats.size(); ++i) {
        const Record& r = stats[i];
        out.u64(r.size);
        out.u64(static_cast<std::uint64_t>(r.mtime_ns));
        out.u64(static_cast<std::uint64_t>(r.ctime_ns));
        out.u64(r.dev);
        out.u64(r.ino);
        out.u32(r.mode);
        out.u32(r.uid);
        out.u32(r.gid);
        out.u32(r.flags);
    }
    for (const Link& l : stats.links()) {
        out.u64(l.node);
        out.u32(static_cast<std::uint32_t>(l.path.size()));
        out.bytes(l.path);
        out.u32(static_cast<std::uint32_t>(l.target.size()));
        out.bytes(l.target);
    }
    out.flush();
}

std::uint64_t member_size(const FileStats& stats) noexcept {
    std::uint64_t n = kHeaderSize + std::uint64_t{stats.size()} * kRecordSize;
    for (const Link& l : stats.links()) n += 16 + l.path.size() + l.target.size();
    return n;
}

std::string read_member(const char* data, std::size_t size, FileStats& out) {
    out = FileStats{};
    if (size < kHeaderSize || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        return "no metadata member header";
    In in(data + sizeof kMagic, size - sizeof kMagic);
    std::uint32_t version = 0, record_size = 0;
    std::uint64_t nodes = 0, links = 0, taken = 0;
    in.u32(version);
    in.u32(record_size);
    in.u64(nodes);
    in.u64(links);
    in.u64(taken);
    in.u32(out.chunk_size);
    in.u32(out.step);
    if (version != kVersion) return "metadata version " + std::to_string(version) + " unknown";
    if (record_size != kRecordSize) return "metadata record size differs";
    if (nodes > in.left() / kRecordSize) return "metadata node count exceeds the member";
    out.taken_ns = static_cast<std::int64_t>(taken);
    for (std::uint64_t i = 0; i < nodes; ++i) {
        Record r;
        std::uint64_t mt = 0, ct = 0;
        in.u64(r.size);
        in.u64(mt);
        in.u64(ct);
        in.u64(r.dev);
        in.u64(r.ino);
        in.u32(r.mode);
        in.u32(r.uid);
        in.u32(r.gid);
        in.u32(r.flags);
        r.mtime_ns = static_cast<std::int64_t>(mt);
        r.ctime_ns = static_cast<std::int64_t>(ct);
        out.push_back(r);
    }
    // An entry takes at least 16 bytes: the count cannot claim more than the bytes left allow.
    if (links > in.left() / 16) return "metadata link count exceeds the member";
    out.links().reserve(links);
    for (std::uint64_t k = 0; k < links; ++k) {
        Link l;
        std::uint32_t path_len = 0, target_len = 0;
        if (!in.u64(l.node) || !in.u32(path_len) || !in.bytes(path_len, l.path) ||
            !in.u32(target_len) || !in.bytes(target_len, l.target))
            return "metadata link entry truncated";
        if (l.node != Link::kNotANode ? (l.node >= nodes || path_len != 0) : path_len == 0)
            return "metadata link entry malformed";
        out.links().push_back(std::move(l));
    }
    if (in.left() != 0) return "metadata member has trailing bytes";
    return std::string();
}

}  // namespace mavelin::metadata
