// A walk spread over several machines: subtrees walked and fingerprinted into blocks of rows in
// walk order, and those blocks read back.
//
// Layout of a block, every number in native byte order (the machines of a run share one):
//   u32 magic, i32 status, i32 error, u32 folder, u64 files
//   files x { u32 path length, path, i32 error, u64 size, rows x 32 digest bytes if error is 0 }
//   u64 n, n x { u32 length, path }                                   links, target missing
//   u64 n, n x { u32 length, rel, u32 k, k x { u32 length, name } }   folders left out
//   u64 n, n x { u32 length, rel, i32 errno }                         folders not read
//   u64 n, n x { u32 length, rel, u64 inode }                         folders still to walk
#include "engine/table/subtree_block.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "engine/fingerprint/parallel_runner.h"
#include "engine/fs/file_io.h"

namespace mavelin::table {
namespace {

constexpr std::uint32_t kMagic = 0x4b4c4256;  // "VBLK"
constexpr std::size_t kDigest = sizeof(hash::sha256::Digest);

class Writer {
  public:
    template <class T>
    void put(T v) {
        out_.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    void text(std::string_view s) {
        put(static_cast<std::uint32_t>(s.size()));
        out_.append(s);
    }
    void bytes(const void* p, std::size_t n) { out_.append(static_cast<const char*>(p), n); }
    std::string& out() { return out_; }

  private:
    std::string out_;
};

class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}
    template <class T>
    bool get(T& v) {
        if (in_.size() - at_ < sizeof v) return false;
        std::memcpy(&v, in_.data() + at_, sizeof v);
        at_ += sizeof v;
        return true;
    }
    bool text(std::string_view& s) {
        std::uint32_t n = 0;
        if (!get(n) || in_.size() - at_ < n) return false;
        s = in_.substr(at_, n);
        at_ += n;
        return true;
    }
    bool skip(std::size_t n) {
        if (in_.size() - at_ < n) return false;
        at_ += n;
        return true;
    }
    // A count of entries of at least `each` bytes that the bytes left can hold.
    bool count(std::uint64_t& n, std::size_t each) {
        return get(n) && n <= (in_.size() - at_) / each;
    }
    std::size_t at() const { return at_; }
    bool done() const { return at_ == in_.size(); }

  private:
    std::string_view in_;
    std::size_t at_ = 0;
};

struct Node {
    std::string path;
    std::int32_t error = 0;  // kLargeFile, or 0 until the file is read
    std::uint64_t size = 0;
};

std::string header_only(BlockStatus status, std::int32_t error, std::uint32_t folder) {
    Writer w;
    w.put(kMagic);
    w.put(static_cast<std::int32_t>(status));
    w.put(error);
    w.put(folder);
    w.put(std::uint64_t{0});
    for (int section = 0; section < 4; ++section) w.put(std::uint64_t{0});
    return std::move(w.out());
}

}  // namespace

std::string walk_block(const std::string& root, const SubtreeTask& task,
                       const fingerprint::Params& params, unsigned threads,
                       const fs::SkippedFiles* skipped, const std::atomic<bool>* cancel,
                       fs::ReadMode mode) {
    fs::UniqueFd root_fd;
    if (const int err = fs::open_at_any_length(AT_FDCWD, root, O_PATH | O_DIRECTORY, root_fd))
        return header_only(BlockStatus::kRootUnreadable, err, 0);
    struct stat st {};
    if (::fstat(root_fd.get(), &st) != 0)
        return header_only(BlockStatus::kRootUnreadable, errno, 0);
    if (task.root_ino != 0 && static_cast<std::uint64_t>(st.st_ino) != task.root_ino)
        return header_only(BlockStatus::kOtherRoot, 0, 0);

    std::vector<Node> nodes;
    std::vector<std::string> dangling;
    std::vector<fs::LeftOutFolder> left_out;
    std::vector<fs::WalkError> errors;
    std::vector<fs::TreeWalker::Remaining> remaining;
    bool stopped = false;
    for (std::size_t f = 0; f < task.folders.size(); ++f) {
        const SubtreeTask::Folder& folder = task.folders[f];
        if (stopped) {
            remaining.push_back({folder.rel, static_cast<ino_t>(folder.ino)});
            continue;
        }
        fs::TreeWalker walker(root, folder.rel, cancel);
        bool first = true, other = false;
        fs::for_each_node_file(
            walker,
            [&](const std::string& rel, std::string& name) {
                Node n;
                struct stat fst {};  // the size decides: read here, or in ranges elsewhere
                if (::fstatat(walker.current_fd(), name.c_str(), &fst, 0) == 0 &&
                    S_ISREG(fst.st_mode) &&
                    fingerprint::chunk_count(static_cast<std::uint64_t>(fst.st_size),
                                             params.chunk_size) > task.large_chunks) {
                    n.error = kLargeFile;
                    n.size = static_cast<std::uint64_t>(fst.st_size);
                }
                n.path = fs::node_path(rel, name);
                nodes.push_back(std::move(n));
            },
            [&left_out](fs::Visit& v) { fs::record_left_out(v, &left_out); },
            [&dangling](const std::string& rel, std::string& name) {
                dangling.push_back(fs::node_path(rel, name));
            },
            skipped,
            [&](fs::Visit& v) {
                if (first) {
                    first = false;
                    struct stat dst {};
                    if (folder.ino != 0 && (::fstat(walker.current_fd(), &dst) != 0 ||
                                            static_cast<std::uint64_t>(dst.st_ino) != folder.ino)) {
                        other = true;
                        std::vector<fs::TreeWalker::Remaining> dropped;
                        walker.take_remaining(dropped);
                        v.files.clear();
                        return;
                    }
                }
                if (nodes.size() >= task.budget) {
                    walker.take_remaining(remaining);
                    stopped = true;
                }
            });
        if (walker.top_error() != 0)
            return header_only(BlockStatus::kRootUnreadable, walker.top_error(), 0);
        // The sender saw this folder: here it is missing, or above it something else is.
        if (other || walker.above_error() != 0 ||
            (first && folder.ino != 0 && walker.errors().empty()))
            return header_only(BlockStatus::kOtherFolder, 0, static_cast<std::uint32_t>(f));
        errors.insert(errors.end(), walker.errors().begin(), walker.errors().end());
        if (walker.cancelled()) break;
    }

    std::vector<std::string> paths;
    for (const Node& n : nodes)
        if (n.error == 0) paths.push_back(n.path);
    std::vector<fingerprint::FileOutcome> outcomes =
        fingerprint::fingerprint_files(root, paths, params, threads, cancel, nullptr, mode);
    paths = {};

    const std::size_t rows = params.step > 0 ? static_cast<std::size_t>(params.step) : 0;
    Writer w;
    w.put(kMagic);
    w.put(static_cast<std::int32_t>(BlockStatus::kWalked));
    w.put(std::int32_t{0});
    w.put(std::uint32_t{0});
    w.put(static_cast<std::uint64_t>(nodes.size()));
    std::size_t next = 0;
    for (Node& n : nodes) {
        w.text(n.path);
        if (n.error == kLargeFile) {
            w.put(n.error);
            w.put(n.size);
        } else {
            const fingerprint::FileOutcome& o = outcomes[next++];
            w.put(static_cast<std::int32_t>(o.error.code));
            w.put(o.error.code == 0 ? o.size : std::uint64_t{0});
            if (o.error.code == 0) w.bytes(o.rows.data(), rows * kDigest);
        }
        n.path = {};  // the block grows as the paths go
    }
    w.put(static_cast<std::uint64_t>(dangling.size()));
    for (const std::string& d : dangling) w.text(d);
    w.put(static_cast<std::uint64_t>(left_out.size()));
    for (const fs::LeftOutFolder& l : left_out) {
        w.text(l.rel);
        w.put(static_cast<std::uint32_t>(l.files.size()));
        for (const std::string& name : l.files) w.text(name);
    }
    w.put(static_cast<std::uint64_t>(errors.size()));
    for (const fs::WalkError& e : errors) {
        w.text(e.rel);
        w.put(static_cast<std::int32_t>(e.code));
    }
    w.put(static_cast<std::uint64_t>(remaining.size()));
    for (const fs::TreeWalker::Remaining& r : remaining) {
        w.text(r.rel);
        w.put(static_cast<std::uint64_t>(r.ino));
    }
    return std::move(w.out());
}

bool SubtreeBlock::read(std::string_view bytes, std::size_t rows) {
    Reader r(bytes);
    std::uint32_t magic = 0;
    std::int32_t status = 0;
    if (!r.get(magic) || magic != kMagic || !r.get(status) || status < 0 || status > 3 ||
        !r.get(error) || !r.get(folder) || !r.count(files, 16))
        return false;
    this->status = static_cast<BlockStatus>(status);
    digests_ = rows * kDigest;
    const std::size_t first = r.at();
    for (std::uint64_t k = 0; k < files; ++k) {
        std::string_view path;
        std::int32_t err = 0;
        std::uint64_t size = 0;
        if (!r.text(path) || !r.get(err) || !r.get(size) || (err == 0 && !r.skip(digests_)))
            return false;
    }
    rows_ = bytes.substr(first, r.at() - first);
    std::uint64_t n = 0;
    if (!r.count(n, 4)) return false;
    dangling.resize(n);
    for (std::string_view& d : dangling)
        if (!r.text(d)) return false;
    if (!r.count(n, 8)) return false;
    left_out.resize(n);
    for (LeftOut& l : left_out) {
        std::uint32_t k = 0;
        if (!r.text(l.rel) || !r.get(k) || k > bytes.size()) return false;
        l.files.resize(k);
        for (std::string_view& name : l.files)
            if (!r.text(name)) return false;
    }
    if (!r.count(n, 8)) return false;
    errors.resize(n);
    for (auto& [rel, code] : errors) {
        std::int32_t c = 0;
        if (!r.text(rel) || !r.get(c)) return false;
        code = c;
    }
    if (!r.count(n, 12)) return false;
    remaining.resize(n);
    for (SubtreeTask::Folder& f : remaining) {
        std::string_view rel;
        if (!r.text(rel) || !r.get(f.ino)) return false;
        f.rel = rel;
    }
    return r.done();
}

std::size_t SubtreeBlock::next_row(std::size_t at, BlockRow& row) const {
    // read() has checked every row.
    std::uint32_t n = 0;
    std::memcpy(&n, rows_.data() + at, 4);
    row.path = rows_.substr(at + 4, n);
    at += 4 + n;
    std::memcpy(&row.error, rows_.data() + at, 4);
    std::memcpy(&row.size, rows_.data() + at + 4, 8);
    at += 12;
    row.digests = nullptr;
    if (row.error == 0) {
        row.digests = reinterpret_cast<const std::uint8_t*>(rows_.data() + at);
        at += digests_;
    }
    return at;
}

}  // namespace mavelin::table
