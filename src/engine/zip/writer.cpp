// ZIP writer of stored members: the first streamed with its CRC-32 into an atomic file, the
// others written after it from memory, their records laid out by member_records.
#include "engine/zip/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "engine/cancellation.h"
#include "engine/fs/file_io.h"
#include "engine/hash/crc32/crc32.h"
#include "engine/zip/names.h"

namespace mavelin::zip {
namespace {

constexpr size_t kCopyBuffer = size_t{1} << 20;

const char* too_large_message(HostZip host) {
    return host == HostZip::k311 ? "File size too large, try using force_zip64"
                                 : "File size unexpectedly exceeded ZIP64 limit";
}

// Moves the `len` bytes at `from` to `from + by` in the open temporary, last block first.
Status shift_data(fs::AtomicFile& out, uint64_t from, uint64_t len, uint64_t by,
                  const std::string& archive_path, Error* err) {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kCopyBuffer]);
    if (!buf) return os_error(err, ENOMEM, archive_path);
    fs::OsError oe;
    uint64_t end = from + len;
    while (end > from) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyBuffer, end - from));
        const ssize_t got = fs::pread_full(out.fd(), buf.get(), n, end - n);
        if (got != static_cast<ssize_t>(n))
            return os_error(err, got < 0 ? errno : EIO, archive_path);
        if (out.pwrite_all(buf.get(), n, end - n + by, &oe) != 0)
            return os_error(err, oe.code, archive_path);
        end -= n;
    }
    return Status::kOk;
}

}  // namespace

Status MemberArchiveWriter::begin(int dirfd, const std::string& archive_name,
                                  const std::string& shown, const std::string& member_name,
                                  Error* err, const WriteOptions& options) {
    try {
        shown_ = shown;
        m_ = MemberInfo{};
        further_.clear();
        metadata_set_ = false;
        m_.host = options.host;
        if (const Status s = set_member_name(member_name, &m_, err); s != Status::kOk) return s;
        fs::OsError oe;
        if (out_.open_in(dirfd, archive_name, shown, &oe, options.sync, options.cancel) != 0)
            return os_error(err, oe.code, shown);
        return start_data(err);
    } catch (const std::bad_alloc&) {
        return os_error(err, ENOMEM, shown);
    }
}

Status MemberArchiveWriter::start_data(Error* err) {
    crc_ = 0;
    size_ = 0;
    const std::vector<uint8_t> placeholder(local_header_size(m_), 0);
    fs::OsError oe;
    if (out_.write_all(placeholder.data(), placeholder.size(), &oe) != 0)
        return os_error(err, oe.code, shown_);
    return Status::kOk;
}

Status MemberArchiveWriter::set_metadata(int64_t mtime_sec, int64_t mtime_nsec, uint32_t st_mode,
                                         uint64_t declared_size, Error* err) {
    if (const Status s = dos_timestamp(mtime_sec, mtime_nsec, &m_.dos_time, &m_.dos_date, err);
        s != Status::kOk) {
        discard();
        return s;
    }
    m_.external_attr = (st_mode & 0xFFFF) << 16;
    if (m_.external_attr == 0) m_.external_attr = 0600u << 16;
    const bool had_room = local_header_has_zip64(m_.declared_size);
    m_.declared_size = declared_size;
    metadata_set_ = true;
    if (had_room == local_header_has_zip64(declared_size) || size_ > 0) return Status::kOk;
    // The header's size changes before any data is in: lay the placeholder out again.
    if (::ftruncate(out_.fd(), 0) != 0 || ::lseek(out_.fd(), 0, SEEK_SET) != 0) {
        const int code = errno;
        discard();
        return os_error(err, code, shown_);
    }
    return start_data(err);
}

Status MemberArchiveWriter::add(const void* data, size_t len, Error* err) {
    crc_ = hash::crc32::update(crc_, data, len);
    size_ += len;
    fs::OsError oe;
    if (out_.write_all(data, len, &oe) != 0) return os_error(err, oe.code, shown_);
    return Status::kOk;
}

Status MemberArchiveWriter::add_member(const std::string& name, std::vector<uint8_t> bytes,
                                       Error* err) {
    try {
        Further f;
        if (const Status s = set_member_name(name, &f.info, err); s != Status::kOk) return s;
        bool taken = name == m_.name;
        for (const Further& other : further_) taken = taken || other.info.name == name;
        if (taken) return set_error(err, Status::kBadInput, "Duplicate name: " + quote_text(name));
        f.info.host = m_.host;
        f.info.external_attr = 0600u << 16;
        f.info.declared_size = bytes.size();
        f.info.size = bytes.size();
        f.info.crc = hash::crc32::compute(bytes.data(), bytes.size());
        f.bytes = std::move(bytes);
        further_.push_back(std::move(f));
        return Status::kOk;
    } catch (const std::bad_alloc&) {
        discard();
        return os_error(err, ENOMEM, shown_);
    }
}

// Writes the further members from `at` on, each placed in `placed` after the first member.
Status MemberArchiveWriter::write_further_members(uint64_t at, std::vector<PlacedMember>* placed,
                                                  Error* err) {
    fs::OsError oe;
    for (Further& f : further_) {
        f.info.dos_time = m_.dos_time;
        f.info.dos_date = m_.dos_date;
        const std::vector<uint8_t> header = local_header(f.info);
        if (out_.pwrite_all(header.data(), header.size(), at, &oe) != 0 ||
            out_.pwrite_all(f.bytes.data(), f.bytes.size(), at + header.size(), &oe) != 0)
            return os_error(err, oe.code, shown_);
        placed->push_back(PlacedMember{f.info, at});
        at += header.size() + f.bytes.size();
    }
    return Status::kOk;
}

Status MemberArchiveWriter::finish(Error* err) {
    try {
        fs::OsError oe;
        if (!out_.is_open()) return os_error(err, EBADF, shown_);
        const uint64_t data_start = local_header_size(m_);
        if (!metadata_set_) {
            // Streamed: the member is as a file written just now would be, of the final size.
            struct stat st;
            if (::fstat(out_.fd(), &st) != 0) {
                const int code = errno;
                discard();
                return os_error(err, code, shown_);
            }
            if (const Status s = set_metadata(st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                                              out_.fresh_mode(), size_, err);
                s != Status::kOk) {
                return s;
            }
            if (local_header_has_zip64(size_)) {
                // Only a payload of some 4 GiB gets here: its header needs the ZIP64 field.
                const Status s = shift_data(out_, data_start, size_, kZip64ExtraSize, shown_, err);
                if (s != Status::kOk) {
                    discard();
                    return s;
                }
            }
        }
        m_.size = size_;
        m_.crc = crc_;
        if (!local_header_has_zip64(m_.declared_size) && m_.size > kZip64Limit) {
            discard();
            return set_error(err, Status::kTooLarge, too_large_message(m_.host));
        }
        const std::vector<uint8_t> header = local_header(m_);
        std::vector<PlacedMember> placed{PlacedMember{m_, 0}};
        const uint64_t first_end = header.size() + m_.size;
        if (const Status s = write_further_members(first_end, &placed, err); s != Status::kOk) {
            discard();
            return s;
        }
        const PlacedMember& last = placed.back();
        const uint64_t trailer_at = last.offset + local_header_size(last.info) + last.info.size;
        const std::vector<uint8_t> trailer = archive_trailer(placed, trailer_at);
        if (out_.pwrite_all(header.data(), header.size(), 0, &oe) != 0 ||
            out_.pwrite_all(trailer.data(), trailer.size(), trailer_at, &oe) != 0 ||
            out_.commit(&oe) != 0) {
            return os_error(err, oe.code, shown_);
        }
        return set_error(err, Status::kOk, "");
    } catch (const std::bad_alloc&) {
        discard();
        return os_error(err, ENOMEM, shown_);
    }
}

void MemberArchiveWriter::discard() noexcept {
    out_.discard();
}

namespace {

// Copies the payload file open on `in` into the archive begun in `w`; `cancel` cuts it short
// with ECANCELED.
Status copy_payload(int in, const std::string& payload_path, MemberArchiveWriter& w, Error* err,
                    const std::atomic<bool>* cancel) {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kCopyBuffer]);
    if (!buf) return os_error(err, ENOMEM, payload_path);
    for (;;) {
        if (cancellation::requested(cancel)) {
            w.discard();
            return os_error(err, ECANCELED, payload_path);
        }
        const ssize_t n = fs::read_retry(in, buf.get(), kCopyBuffer);
        if (n < 0) {
            const int code = errno;
            w.discard();
            return os_error(err, code, payload_path);
        }
        if (n == 0) return Status::kOk;
        if (const Status s = w.add(buf.get(), static_cast<size_t>(n), err); s != Status::kOk)
            return s;
    }
}

// The archive begun in `w`, holding the regular file open on `in`, with its time and mode.
Status archive_open_file(MemberArchiveWriter& w, int in, const std::string& payload_path,
                         Error* err, const std::atomic<bool>* cancel) {
    struct stat st;
    if (::fstat(in, &st) != 0) {
        const int code = errno;
        w.discard();
        return os_error(err, code, payload_path);
    }
    if (!S_ISREG(st.st_mode)) {
        w.discard();
        return os_error(err, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, payload_path);
    }
    if (const Status s = w.set_metadata(st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_mode,
                                        static_cast<uint64_t>(st.st_size), err);
        s != Status::kOk) {
        return s;
    }
    if (const Status s = copy_payload(in, payload_path, w, err, cancel); s != Status::kOk) return s;
    return w.finish(err);
}

}  // namespace

Status write_single_stored_member(const std::string& archive_path, const std::string& member_name,
                                  const std::string& payload_path, Error* err,
                                  const WriteOptions& options) {
    try {
        // Same order as the host library: the archive is opened first, then the payload.
        MemberInfo probe;
        if (const Status s = set_member_name(member_name, &probe, err); s != Status::kOk) return s;
        fs::UniqueFd dir;
        const size_t slash = archive_path.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : archive_path.substr(0, slash);
        const std::string name =
            slash == std::string::npos ? archive_path : archive_path.substr(slash + 1);
        if (archive_path.empty()) return os_error(err, ENOENT, archive_path);
        if (const int rc = fs::open_at_any_length(AT_FDCWD, folder, O_PATH | O_DIRECTORY, dir))
            return os_error(err, rc, archive_path);
        MemberArchiveWriter w;
        if (const Status s = w.begin(dir.get(), name, archive_path, member_name, err, options);
            s != Status::kOk)
            return s;
        // O_NONBLOCK: a named pipe must not block the open.
        fs::UniqueFd in;
        if (const int rc =
                fs::open_at_any_length(AT_FDCWD, payload_path, O_RDONLY | O_NONBLOCK, in)) {
            w.discard();
            return os_error(err, rc, payload_path);
        }
        return archive_open_file(w, in.get(), payload_path, err, options.cancel);
    } catch (const std::bad_alloc&) {
        return os_error(err, ENOMEM, archive_path);
    }
}

Status write_member_from_file(int dirfd, const std::string& archive_name,
                              const std::string& shown_archive, const std::string& member_name,
                              int payload_fd, const std::string& shown_payload, Error* err,
                              const WriteOptions& options) {
    try {
        MemberArchiveWriter w;
        if (const Status s = w.begin(dirfd, archive_name, shown_archive, member_name, err, options);
            s != Status::kOk)
            return s;
        return archive_open_file(w, payload_fd, shown_payload, err, options.cancel);
    } catch (const std::bad_alloc&) {
        return os_error(err, ENOMEM, shown_archive);
    }
}

Status build_single_stored_member(const std::string& member_name, const void* data, size_t len,
                                  int64_t mtime_sec, int64_t mtime_nsec, uint32_t st_mode,
                                  std::vector<uint8_t>* out, Error* err, HostZip host) {
    try {
        MemberInfo m;
        m.host = host;
        if (const Status s = set_member_name(member_name, &m, err); s != Status::kOk) return s;
        if (const Status s = dos_timestamp(mtime_sec, mtime_nsec, &m.dos_time, &m.dos_date, err);
            s != Status::kOk) {
            return s;
        }
        m.external_attr = (st_mode & 0xFFFF) << 16;
        if (m.external_attr == 0) m.external_attr = 0600u << 16;
        m.declared_size = len;
        m.size = len;
        m.crc = hash::crc32::compute(data, len);
        if (!local_header_has_zip64(m.declared_size) && m.size > kZip64Limit) {
            return set_error(err, Status::kTooLarge, too_large_message(m.host));
        }
        const std::vector<uint8_t> header = local_header(m);
        const std::vector<uint8_t> trailer = archive_trailer(m);
        out->clear();
        out->reserve(header.size() + len + trailer.size());
        out->insert(out->end(), header.begin(), header.end());
        const auto* bytes = static_cast<const uint8_t*>(data);
        out->insert(out->end(), bytes, bytes + len);
        out->insert(out->end(), trailer.begin(), trailer.end());
        return set_error(err, Status::kOk, "");
    } catch (const std::bad_alloc&) {
        return os_error(err, ENOMEM, "");
    }
}

}  // namespace mavelin::zip
