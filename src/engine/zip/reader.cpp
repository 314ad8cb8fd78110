// ZIP member reader, reading the member: stored and deflated data with CRC-32 checks, the archive
// as a source, and the public entry points.
#include "engine/zip/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "engine/fs/file_io.h"
#include "engine/hash/crc32/crc32.h"
#include "engine/memory_budget.h"
#include "engine/zip/reader_impl.h"

namespace mavelin::zip {
namespace {

class FdSource : public Source {
  public:
    FdSource(fs::UniqueFd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
    uint64_t size() const override { return size_; }
    int64_t read_at(uint64_t offset, void* buf, size_t len) override {
        const ssize_t n = fs::pread_full(fd_.get(), buf, len, offset);
        return n < 0 ? -static_cast<int64_t>(errno) : static_cast<int64_t>(n);
    }
    int seek_error(uint64_t offset) override {
        if (offset > uint64_t{INT64_MAX}) return EINVAL;
        return ::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
    }

  private:
    fs::UniqueFd fd_;
    uint64_t size_;
};

class MemorySource : public Source {
  public:
    MemorySource(const void* data, size_t len)
        : data_(static_cast<const uint8_t*>(data)), len_(len) {}
    uint64_t size() const override { return len_; }
    int64_t read_at(uint64_t offset, void* buf, size_t len) override {
        if (offset >= len_ || len == 0) return 0;
        const size_t n = std::min<uint64_t>(len, len_ - offset);
        std::memcpy(buf, data_ + offset, n);
        return static_cast<int64_t>(n);
    }

  private:
    const uint8_t* data_;
    size_t len_;
};

// Throws std::bad_alloc (ENOMEM for the caller) when a member of `bytes` is more than may be
// kept in memory.
void check_member_fits(uint64_t bytes) {
    if (bytes > memory_budget::process_cap()) throw std::bad_alloc();
}

// The archive at `path` opened as a source; null with the error for what cannot be opened.
std::unique_ptr<FdSource> open_source(const std::string& path, Error* err) {
    // O_NONBLOCK: a FIFO in place of the archive must not block the open.
    fs::UniqueFd fd(fs::openat_retry(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return os_error(err, errno, path), nullptr;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_error(err, errno, path), nullptr;
    if (S_ISDIR(st.st_mode)) return os_error(err, EISDIR, path), nullptr;
    uint64_t size = 0;
    if (S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
        const off_t end = ::lseek(fd.get(), 0, SEEK_END);
        size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    // Anything else (FIFO, socket, character device) has no end to search from: size 0.
    return std::make_unique<FdSource>(std::move(fd), size);
}

// The archive at `path` opened into `out` for the entry points that take a path: kOk, or the
// error (ENOMEM when even the source could not be allocated).
Status open_path(const std::string& path, std::unique_ptr<FdSource>* out, Error* err) {
    try {
        *out = open_source(path, err);
    } catch (const std::bad_alloc&) {
        return os_error(err, ENOMEM, path);
    }
    if (*out) return Status::kOk;
    return err ? err->status : Status::kOsError;
}

}  // namespace

std::shared_ptr<Source> open_archive(const std::string& path, Error* err) {
    return open_source(path, err);
}

namespace detail {

// The member's data goes through its CRC-32 (inflated, for deflate) in a first pass that keeps
// nothing; only data that matches is read again into `out`. A member that claims more than it
// holds, or inflates beyond what it claims, never costs more than a piece of memory; deflated
// data that would inflate beyond what an archive of this size may take is refused on the way.
Status Reader::read_data(const Entry& e, Wide data_start, const std::string& key, Member* out) {
    out->expected_crc = e.crc;
    out->data.clear();
    const auto start = static_cast<uint64_t>(data_start);
    const uint64_t avail = src_.size() - start;
    const std::string truncated =
        "Data of " + quote_text(key) + " runs past the end of the archive";
    if (e.method == kMethodDeflated) {
        // A reader meets the end of the file only when it still expects compressed bytes.
        if (e.compressed != 0 && avail == 0) return fail(Status::kTruncated, truncated);
        uint32_t crc = 0;
        uint64_t produced = 0;
        const uint64_t allowed =
            allowance_ != 0 ? allowance_ : memory_budget::allowance(src_.size());
        Status s = inflate_data(
            e, start, key, std::min(e.uncompressed, allowed), &produced,
            [&crc](const uint8_t* p, size_t n) { crc = hash::crc32::update(crc, p, n); });
        out->beyond_allowance = s == Status::kTooLarge;
        if (s == Status::kTooLarge)
            return fail(Status::kBadData, "Deflated data of " + quote_text(key) +
                                              " inflates to more than the " +
                                              std::to_string(allowed) + " bytes an archive of " +
                                              std::to_string(src_.size()) + " bytes may take");
        if (s != Status::kOk) return s;
        if (crc != e.crc) return fail(Status::kBadCrc, "Bad CRC-32 for file " + quote_text(key));
        check_member_fits(produced);
        out->size = produced;
        out->data.reserve(static_cast<size_t>(produced));
        s = inflate_data(e, start, key, produced, &produced, [out](const uint8_t* p, size_t n) {
            out->data.insert(out->data.end(), p, p + n);
        });
        if (s != Status::kOk) {
            out->data.clear();
            return s;
        }
    } else {
        out->size = std::min(e.compressed, e.uncompressed);
        uint64_t start_at = 0, want = 0;
        if (const Status s = stored_span(e, data_start, key, &start_at, &want); s != Status::kOk)
            return s;
        check_member_fits(want);
        out->data.resize(static_cast<size_t>(want));
        size_t got = 0;
        if (const Status s = read(start, out->data.data(), out->data.size(), &got);
            s != Status::kOk) {
            out->data.clear();
            return s;
        }
        if (got < want) {
            out->data.clear();
            return fail(Status::kTruncated, truncated);
        }
    }
    // The file may have changed between the passes: what is handed out is checked itself.
    if (hash::crc32::compute(out->data.data(), out->data.size()) != e.crc) {
        out->data.clear();
        return fail(Status::kBadCrc, "Bad CRC-32 for file " + quote_text(key));
    }
    return fail(Status::kOk, "");
}

Status Reader::stored_span(const Entry& e, Wide data_start, const std::string& key, uint64_t* start,
                           uint64_t* want_out) {
    *start = static_cast<uint64_t>(data_start);
    const uint64_t avail = src_.size() - *start;
    const std::string truncated =
        "Data of " + quote_text(key) + " runs past the end of the archive";
    const uint64_t content = std::min(e.compressed, e.uncompressed);
    if (e.compressed != 0 && avail == 0) return fail(Status::kTruncated, truncated);
    const uint64_t want = e.compressed == 0 ? 0 : content;
    if (want > avail) return fail(Status::kTruncated, truncated);
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(want, kReadPiece)));
    uint32_t crc = 0;
    for (uint64_t done = 0; done < want;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(want - done, piece.size()));
        size_t got = 0;
        if (const Status s = read(*start + done, piece.data(), n, &got); s != Status::kOk) return s;
        if (got < n) return fail(Status::kTruncated, truncated);  // the file shrank
        crc = hash::crc32::update(crc, piece.data(), n);
        done += n;
    }
    if (crc != e.crc) return fail(Status::kBadCrc, "Bad CRC-32 for file " + quote_text(key));
    *want_out = want;
    return Status::kOk;
}

// Inflates at most `limit` bytes of the member (its declared size, or less), handing them to
// `sink`; `*produced` says how many came out. Read as the host library reads: the stream may end
// before the declared size, the declared compressed bytes may end before the stream does, and
// what lies beyond the declared size is never looked at (the CRC-32 then judges the bytes).
// kTooLarge when the stream goes on beyond a `limit` below the declared size.
Status Reader::inflate_data(const Entry& e, uint64_t start, const std::string& key, uint64_t limit,
                            uint64_t* produced, const InflateOutput& sink) {
    const uint64_t in_file = std::min(e.compressed, src_.size() - start);
    uint64_t offset = 0;
    const InflateInput input = [&](uint8_t* buf, size_t len) -> int64_t {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(len, in_file - offset));
        if (n == 0) return 0;
        if (cancellation::requested(cancel_)) return -ECANCELED;
        const int64_t got = src_.read_at(start + offset, buf, n);
        if (got > 0) offset += static_cast<uint64_t>(got);
        return got;
    };
    const InflateResult r = inflate(input, limit, sink);
    *produced = r.produced;
    switch (r.status) {
        case InflateStatus::kOk:
            return Status::kOk;
        case InflateStatus::kTooLong:
            return limit < e.uncompressed ? Status::kTooLarge : Status::kOk;
        case InflateStatus::kReadError:
            return os_fail(r.errnum);
        case InflateStatus::kTruncated:
            if (in_file < e.compressed)
                return fail(Status::kTruncated,
                            "Data of " + quote_text(key) + " runs past the end of the archive");
            return Status::kOk;  // all the compressed bytes given: what they inflate to
        default:
            return fail(Status::kBadData,
                        "Deflated data of " + quote_text(key) + " is invalid: " + r.what);
    }
}

Status Reader::run(const std::string& member_name, Member* out) {
    out->data.clear();
    out->expected_crc = 0;
    out->size = 0;
    out->archive_size = src_.size();
    out->beyond_allowance = false;
    Entry entry;
    Wide data_start = 0;
    if (const Status s = locate(member_name, &entry, &data_start); s != Status::kOk) return s;
    return read_data(entry, data_start, std::string(entry.name.c_str()), out);
}

}  // namespace detail

using detail::Entry;
using detail::kReadPiece;
using detail::Reader;
using detail::Wide;

Status read_member(Source& src, const std::string& label, const std::string& member_name,
                   Member* out, Error* err, const std::atomic<bool>* cancel, uint64_t allowance) {
    try {
        Reader reader(src, label, err, cancel, allowance);
        return reader.run(member_name, out);
    } catch (const std::bad_alloc&) {
        out->data.clear();
        return os_error(err, ENOMEM, label);
    }
}

Status read_member(const std::string& archive_path, const std::string& member_name, Member* out,
                   Error* err, const std::atomic<bool>* cancel, uint64_t allowance) {
    std::unique_ptr<FdSource> src;
    if (const Status s = open_path(archive_path, &src, err); s != Status::kOk) return s;
    return read_member(*src, archive_path, member_name, out, err, cancel, allowance);
}

// A deflated member is inflated on a thread of its own into a few pieces ahead of the reader.
struct MemberStream::State {
    std::shared_ptr<Source> src;
    const std::atomic<bool>* cancel = nullptr;
    uint64_t start = 0, size = 0, done = 0;
    uint32_t expected = 0, crc = 0;
    bool failed = false;

    // Deflated members only.
    static constexpr size_t kAhead = size_t{1} << 20;  // inflated bytes kept ready at most
    bool deflated = false;
    std::thread inflater;
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::vector<uint8_t>> pieces;
    size_t queued = 0;
    bool finished = false, ok = false, lost = false;
    std::atomic<bool> stop{false};
    std::vector<uint8_t> current;
    size_t current_at = 0;

    ~State() {
        if (!inflater.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(m);
            stop = true;
        }
        cv.notify_all();
        inflater.join();
    }

    // The inflater's work: the member's data into `pieces`, as read_member would read it.
    void inflate_member(const Entry& e, uint64_t data_start, const std::string& label) {
        bool good = false;
        try {
            Error err;
            Reader reader(*src, label, &err, &stop);
            uint64_t produced = 0;
            const std::string key(e.name.c_str());
            good = reader.inflate_data(
                       e, data_start, key, e.uncompressed, &produced,
                       [this](const uint8_t* p, size_t n) noexcept { put(p, n); }) == Status::kOk;
        } catch (...) {  // no memory for a piece: the stream fails
        }
        std::lock_guard<std::mutex> lock(m);
        finished = true;
        ok = good && !lost;
        cv.notify_all();
    }

    // Queues a piece once fewer than kAhead bytes wait; a piece that finds no memory stops the
    // inflater and fails the stream.
    void put(const uint8_t* p, size_t n) noexcept {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return stop || queued < kAhead; });
        if (stop) return;
        try {
            pieces.emplace_back(p, p + n);
        } catch (...) {
            lost = true;
            stop = true;
            return;
        }
        queued += n;
        cv.notify_all();
    }

    // The next inflated bytes, up to `capacity`: 0 at the end, -1 when inflating failed.
    std::ptrdiff_t next(uint8_t* buffer, size_t capacity) {
        if (current_at == current.size()) {
            std::unique_lock<std::mutex> lock(m);
            while (pieces.empty() && !finished && !cancellation::requested(cancel))
                cv.wait_for(lock, std::chrono::milliseconds(20));
            if (pieces.empty()) return finished && ok ? 0 : -1;
            current = std::move(pieces.front());
            pieces.pop_front();
            queued -= current.size();
            current_at = 0;
            cv.notify_all();
        }
        const size_t n = std::min(capacity, current.size() - current_at);
        std::memcpy(buffer, current.data() + current_at, n);
        current_at += n;
        return static_cast<std::ptrdiff_t>(n);
    }
};

MemberStream::MemberStream() = default;
MemberStream::~MemberStream() = default;

Status MemberStream::open(const std::string& archive_path, const std::string& member_name,
                          Error* err, const std::atomic<bool>* cancel) {
    std::unique_ptr<FdSource> src;
    if (const Status s = open_path(archive_path, &src, err); s != Status::kOk) return s;
    return open(std::shared_ptr<Source>(std::move(src)), archive_path, member_name, err, cancel);
}

Status MemberStream::open(std::shared_ptr<Source> src, const std::string& label,
                          const std::string& member_name, Error* err,
                          const std::atomic<bool>* cancel) {
    try {
        state_ = std::make_unique<State>();
        state_->cancel = cancel;
        state_->src = std::move(src);
        Reader reader(*state_->src, label, err, cancel);
        Entry entry;
        Wide data_start = 0;
        if (const Status s = reader.locate(member_name, &entry, &data_start); s != Status::kOk)
            return s;
        state_->expected = entry.crc;
        if (entry.method == kMethodDeflated) {
            const auto start = static_cast<uint64_t>(data_start);
            if (entry.compressed != 0 && state_->src->size() == start)
                return reader.stored_span(entry, data_start, std::string(entry.name.c_str()),
                                          &state_->start, &state_->size);  // kTruncated
            state_->deflated = true;
            State* st = state_.get();
            st->inflater =
                std::thread([st, entry, start, label] { st->inflate_member(entry, start, label); });
            return Status::kOk;
        }
        if (entry.method != kMethodStored) return Status::kUnsupported;
        return reader.stored_span(entry, data_start, std::string(entry.name.c_str()),
                                  &state_->start, &state_->size);
    } catch (const std::bad_alloc&) {
        return os_error(err, ENOMEM, label);
    } catch (const std::system_error&) {  // no thread for the inflater
        return os_error(err, EAGAIN, label);
    }
}

std::ptrdiff_t MemberStream::read(uint8_t* buffer, size_t capacity) {
    State& st = *state_;
    if (st.failed || cancellation::requested(st.cancel)) {
        st.failed = true;
        return -1;
    }
    if (st.deflated) {
        const std::ptrdiff_t n = st.next(buffer, std::min(capacity, kReadPiece));
        // The end: what was handed out must match the CRC-32.
        if (n < 0 || (n == 0 && st.crc != st.expected)) {
            st.failed = true;
            return -1;
        }
        st.crc = hash::crc32::update(st.crc, buffer, static_cast<size_t>(n));
        return n;
    }
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(std::min(capacity, kReadPiece), st.size - st.done));
    if (n == 0) return 0;
    const int64_t got = st.src->read_at(st.start + st.done, buffer, n);
    if (got != static_cast<int64_t>(n)) {  // an error, or the file shrank
        st.failed = true;
        return -1;
    }
    st.crc = hash::crc32::update(st.crc, buffer, n);
    st.done += n;
    if (st.done == st.size && st.crc != st.expected) {  // the file changed after the first pass
        st.failed = true;
        return -1;
    }
    return static_cast<std::ptrdiff_t>(n);
}

uint64_t MemberStream::archive_size() const noexcept {
    return state_ && state_->src ? state_->src->size() : 0;
}

Status list_members(Source& src, const std::string& label, std::vector<MemberEntry>* out,
                    Error* err, const std::atomic<bool>* cancel) {
    try {
        Reader reader(src, label, err, cancel);
        return reader.list(out);
    } catch (const std::bad_alloc&) {
        out->clear();
        return os_error(err, ENOMEM, label);
    }
}

Status list_members(const std::string& archive_path, std::vector<MemberEntry>* out, Error* err,
                    const std::atomic<bool>* cancel) {
    std::unique_ptr<FdSource> src;
    if (const Status s = open_path(archive_path, &src, err); s != Status::kOk) return s;
    return list_members(*src, archive_path, out, err, cancel);
}

Status list_members_from_memory(const void* data, size_t len, std::vector<MemberEntry>* out,
                                Error* err) {
    MemorySource src(data, len);
    return list_members(src, "<memory>", out, err, nullptr);
}

Status read_member_from_memory(const void* data, size_t len, const std::string& member_name,
                               Member* out, Error* err) {
    MemorySource src(data, len);
    return read_member(src, "<memory>", member_name, out, err, nullptr);
}

}  // namespace mavelin::zip
