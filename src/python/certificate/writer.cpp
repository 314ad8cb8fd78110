// Writing a certificate: a FileManager's or a compact node table's payload streamed into the
// archive (in the tree's Certificates folder or at a path the caller chose), or a FileManager's
// through the payload file of the step-by-step methods.
// Nothing is written through a name the signed tree controls.
#include "python/certificate/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/cancellation.h"
#include "engine/certificate_format.h"
#include "engine/fs/atomic_file.h"
#include "engine/fs/file_io.h"
#include "engine/hash/sha256/background.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/report/description.h"
#include "engine/table/payload_writer.h"
#include "engine/zip/writer.h"
#include "python/capi/attribute_names.h"
#include "python/capi/errors.h"
#include "python/capi/gil.h"
#include "python/capi/import.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"
#include "python/certificate/archive_errors.h"
#include "python/certificate/codec.h"

namespace mavelin::certificate {
namespace {

constexpr const char* kFolder = certificate_format::kFolderName;
constexpr const char* kArchive = certificate_format::kArchiveName;
constexpr const char* kPayload = certificate_format::kPayloadName;

#ifndef MAVELIN_VERSION
#define MAVELIN_VERSION "unknown"
#endif

// OSError(ELOOP) saying that the certificate is not written through the link at `path`.
void refuse_link(const std::string& path,
                 const char* reason = "Refusing to write the certificate through a symbolic link") {
    py::Ref filename = py::decode_path(path);
    if (!filename) return;
    py::raise(py::os_error(ELOOP, filename.get(), reason));
}

void set_archive_error(const zip::Error& err) {
    if (err.status == zip::Status::kOsError && err.os.code == ELOOP)
        return refuse_link(err.os.path);
    raise_archive_error(err);
}

void split(const std::string& path, std::string& parent, std::string& name) {
    const size_t slash = path.rfind('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens the folder `path` for writing into it. Its parent is taken as the caller named it; the
// folder itself must be a real directory, never a symbolic link. With `create`, a missing folder
// is made (one level, default permissions). 0, or -1 with an exception set.
int open_folder(const std::string& path, bool create, fs::UniqueFd& out) {
    std::string parent_path, name;
    split(path, parent_path, name);
    fs::UniqueFd parent;
    if (int err = fs::open_at_any_length(AT_FDCWD, parent_path, O_PATH | O_DIRECTORY, parent)) {
        py::set_os_error(err, path);
        return -1;
    }
    struct stat st;
    if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT || !create) {
            py::set_os_error(errno, path);
            return -1;
        }
        const int err = fs::mkdirat_retry(parent.get(), name.c_str(), 0777);
        if (err != 0 && err != EEXIST) {
            py::set_os_error(err, path);
            return -1;
        }
    } else if (S_ISLNK(st.st_mode)) {
        refuse_link(path);
        return -1;
    }
    // O_NOFOLLOW with O_DIRECTORY: a link swapped in meanwhile fails (ENOTDIR), never followed.
    const int fd =
        fs::openat_retry(parent.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        py::set_os_error(errno, path);
        return -1;
    }
    out.reset(fd);
    return 0;
}

// Clears the certificate folder of the temporaries that killed runs left, whichever of our
// files (archive or payload) they were writing; a temporary of a writer at work stays.
void remove_stale(int dirfd) {
    fs::remove_stale_temporaries(dirfd, kArchive);
    fs::remove_stale_temporaries(dirfd, kPayload);
}

// The certificate folder of the tree at `initial`, opened (made when missing) and cleared of
// stale temporaries.
int certificate_folder(PyObject* initial, py::Ref& folder, std::string& folder_bytes,
                       fs::UniqueFd& fd) {
    folder = py::join(initial, kFolder);
    if (!folder || py::encode_path(folder.get(), folder_bytes) < 0) return -1;
    if (open_folder(folder_bytes, true, fd) < 0) return -1;
    remove_stale(fd.get());
    return 0;
}

// The same for a manager's tree, recorded as manager._cert_folder_path.
int manager_folder(PyObject* manager, py::Ref& folder, std::string& folder_bytes,
                   fs::UniqueFd& fd) {
    py::Ref initial = py::Ref::steal(PyObject_GetAttrString(manager, attr::kInitialPath));
    if (!initial || certificate_folder(initial.get(), folder, folder_bytes, fd) < 0) return -1;
    return PyObject_SetAttrString(manager, attr::kCertFolderPath, folder.get());
}

zip::HostZip host_layout() {
    // Lay the archive out exactly as this interpreter's own zipfile would.
    return PY_VERSION_HEX >= 0x030B0000 ? zip::HostZip::k311 : zip::HostZip::k310;
}

// The payload, the node table as the host pickles it at protocol 4, handed to `sink` as it is
// made: the engine's payload of its compact form, when it has one; otherwise the host's pickle
// (`restart` is called first when the engine gave up with pieces already handed out).
template <class Sink, class Restart>
int write_payload(PyObject* table, PyObject* node_class, Sink&& sink, Restart&& restart) {
    table::NodeTable nodes;
    const int compact = certificate::compact_form(table, node_class, nodes);
    if (compact < 0) return -1;
    if (compact) {
        int r = 0;
        try {
            table::write_payload(nodes, [&](std::string_view piece) {
                r = sink(piece);
                return r == 0;
            });
            return r;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        } catch (const std::length_error&) {
            // Past the memo's limits: the host's pickle says what it makes of such a table.
            if (r < 0 || restart() < 0) return -1;
        }
    }
    py::Ref dumps = py::import_attr("pickle", "dumps");
    if (!dumps) return -1;
    py::Ref bytes = py::Ref::steal(PyObject_CallFunction(dumps.get(), "Oi", table, 4));
    if (!bytes) return -1;
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return -1;
    return sink(std::string_view(data, static_cast<size_t>(len)));
}

// Ctrl-C while a large payload is made ends the run; the old certificate stays.
int check_signals(uint64_t& since_check, size_t written) {
    constexpr uint64_t kCheckEvery = 1 << 20;
    since_check += written;
    if (since_check < kCheckEvery) return 0;
    since_check = 0;
    return PyErr_CheckSignals();
}

// The folder of `output` (the archive path a caller chose), opened as named; `name` is the
// archive's own name in it.
int output_folder(PyObject* output, py::Ref& folder, std::string& folder_bytes, std::string& name,
                  fs::UniqueFd& fd) {
    std::string target;
    if (py::encode_path(output, target) < 0) return -1;
    split(target, folder_bytes, name);
    if (name.empty()) {  // "dir/": no file name
        py::set_os_error(EISDIR, target);
        return -1;
    }
    folder = py::decode_path(folder_bytes);
    if (!folder) return -1;
    if (int err = fs::open_at_any_length(AT_FDCWD, folder_bytes, O_PATH | O_DIRECTORY, fd)) {
        py::set_os_error(err, target);
        return -1;
    }
    return 0;
}

// Where the signing procedure writes its certificate: the folder (`folder`, its path) and the
// archive's name in it.
struct Destination {
    py::Ref folder;
    std::string folder_bytes;
    std::string name = kArchive;
    fs::UniqueFd dir;
    bool own_folder = true;  // the tree's Certificates folder, not a folder the caller chose
};

// `output` when not null, else the Certificates folder of the tree at `initial`.
int open_destination(PyObject* initial, PyObject* output, Destination& d) {
    d.own_folder = output == nullptr;
    if (output) return output_folder(output, d.folder, d.folder_bytes, d.name, d.dir);
    return certificate_folder(initial, d.folder, d.folder_bytes, d.dir);
}

zip::WriteOptions archive_options(std::atomic<bool>* cancel) {
    zip::WriteOptions options;
    options.host = host_layout();
    options.sync = fs::Sync::kFileAndDir;  // a reported success survives a power cut
    options.cancel = cancel;
    return options;
}

// Begins the new archive of `d` in `archive`. The folder's lock is waited for without the
// interpreter lock, and Ctrl-C ends the wait. 0, or -1 with an exception set.
int begin_archive(zip::MemberArchiveWriter& archive, const Destination& d,
                  const std::string& shown) {
    std::atomic<bool> cancel{false};
    const zip::WriteOptions options = archive_options(&cancel);
    zip::Error err;
    zip::Status status = zip::Status::kOk;
    auto work = [&]() noexcept {
        status = archive.begin(d.dir.get(), d.name, shown, kPayload, &err, options);
    };
    if (py::run_interruptible(work, cancel) < 0) return -1;  // the writer discards
    if (status == zip::Status::kOk) return 0;
    set_archive_error(err);
    return -1;
}

// After the new archive is in place: a payload file left by an interrupted run of the
// step-by-step methods goes too (only in the folder of our own: beside a chosen output, that
// name may be a file of the user's).
void remove_leftover_payload(const Destination& d) {
    if (d.own_folder) ::unlinkat(d.dir.get(), kPayload, 0);
}

// The description of the tree at `top` as far as it is known before its payload is written:
// everything but the members' digests. 0, or -1 with an exception set.
int describe(PyObject* top, const Extras& extras, report::CertificateDescription& d) {
    py::Ref abspath = py::import_attr("os.path", "abspath");
    py::Ref basename = py::import_attr("os.path", "basename");
    py::Ref fsdecode = py::import_attr("os", "fsdecode");
    if (!abspath || !basename || !fsdecode) return -1;
    py::Ref full = py::Ref::steal(PyObject_CallOneArg(abspath.get(), top));
    py::Ref text = full ? py::Ref::steal(PyObject_CallOneArg(fsdecode.get(), full.get())) : full;
    py::Ref name = text ? py::Ref::steal(PyObject_CallOneArg(basename.get(), text.get())) : text;
    if (!name) return -1;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name.get());
    d.folder.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        d.folder[static_cast<size_t>(i)] =
            static_cast<char32_t>(PyUnicode_READ_CHAR(name.get(), i));
    d.tool_version = MAVELIN_VERSION;
    d.created = static_cast<int64_t>(std::time(nullptr));
    d.files = extras.files;
    d.bytes = extras.bytes;
    d.chunk_size = certificate_format::kProcedureChunkSize;
    d.step = certificate_format::kProcedureStep;
    return 0;
}

// What appending the members beside the payload came to.
enum class Appended { kOk, kArchiveError, kSignError };

// Appends `extras`' members, the description `d` (completed with the digests of the payload,
// `payload`, and of the members) and the signature to the archive whose payload is in. On a
// failure the archive is discarded: kArchiveError with `err` set, or kSignError with
// `sign_error` set.
Appended append_members(zip::MemberArchiveWriter& archive, const Extras& extras,
                        report::CertificateDescription d, const hash::sha256::Digest& payload,
                        zip::Error* err, std::string* sign_error) noexcept {
    try {
        d.members.push_back({kPayload, payload});
        for (const ExtraMember& m : extras.members) {
            d.members.push_back({m.name, hash::sha256::hash(m.bytes.data(), m.bytes.size())});
            if (archive.add_member(m.name, m.bytes, err) != zip::Status::kOk) {
                archive.discard();
                return Appended::kArchiveError;
            }
        }
        const std::string description = report::write_description(d);
        std::string signature;
        if (extras.sign && !extras.sign(description, &signature, sign_error)) {
            archive.discard();
            return Appended::kSignError;
        }
        if (archive.add_member(certificate_format::kDescriptionName,
                               std::vector<uint8_t>(description.begin(), description.end()),
                               err) != zip::Status::kOk ||
            (extras.sign &&
             archive.add_member(certificate_format::kSignatureName,
                                std::vector<uint8_t>(signature.begin(), signature.end()),
                                err) != zip::Status::kOk)) {
            archive.discard();
            return Appended::kArchiveError;
        }
        return Appended::kOk;
    } catch (const std::bad_alloc&) {
        archive.discard();
        zip::os_error(err, ENOMEM, "");
        return Appended::kArchiveError;
    }
}

// The exception for a failed append_members().
void raise_appended(Appended what, const zip::Error& err, const std::string& sign_error) {
    if (what == Appended::kSignError) {
        PyErr_SetString(PyExc_RuntimeError, sign_error.c_str());
    } else {
        set_archive_error(err);
    }
}

// Streams the payload that `payload(sink, restart)` makes (sink(piece) < 0 and restart() < 0 with
// an exception set, as write_payload above takes them) straight into a new archive that
// replaces the one at `d` once complete and synced. 0, or -1 with an exception set (the old
// archive then stays and the temporary goes).
template <class Payload>
int stream_archive(Destination& d, const Extras* extras,
                   const report::CertificateDescription& about, Payload&& payload) {
    const std::string shown = fs::posix_join(d.folder_bytes, d.name);
    zip::MemberArchiveWriter archive;
    zip::Error err;
    auto begin = [&]() { return begin_archive(archive, d, shown); };
    if (begin() < 0) return -1;
    uint64_t since_check = 0;
    auto digest = std::make_unique<hash::sha256::BackgroundHasher>();
    auto sink = [&](std::string_view piece) {
        if (extras) digest->update(piece.data(), piece.size());
        if (archive.add(piece.data(), piece.size(), &err) != zip::Status::kOk) {
            set_archive_error(err);
            return -1;
        }
        return check_signals(since_check, piece.size());
    };
    auto restart = [&]() {
        archive.discard();
        digest = std::make_unique<hash::sha256::BackgroundHasher>();
        return begin();
    };
    if (payload(sink, restart) < 0) return -1;  // the writer discards
    if (extras) {
        std::string sign_error;
        const Appended appended = py::without_gil([&] {
            return append_members(archive, *extras, about, digest->finish(), &err, &sign_error);
        });
        if (appended != Appended::kOk) {
            raise_appended(appended, err, sign_error);
            return -1;
        }
    }
    const zip::Status status = py::without_gil([&] { return archive.finish(&err); });
    if (status != zip::Status::kOk && !archive.renamed()) {
        set_archive_error(err);
        return -1;
    }
    // The certificate is in place (a failed folder sync only leaves its durability in doubt).
    remove_leftover_payload(d);
    return 0;
}

// Records the payload's path in the folder on the manager (`_pickle_file_path`) and takes the
// manager's node table.
int payload_and_table(PyObject* manager, PyObject* folder, py::Ref& payload_path, py::Ref& table) {
    payload_path = py::join(folder, kPayload);
    if (!payload_path ||
        PyObject_SetAttrString(manager, attr::kPickleFilePath, payload_path.get()) < 0)
        return -1;
    table = py::Ref::steal(PyObject_GetAttrString(manager, attr::kFileNodes));
    return table ? 0 : -1;
}

}  // namespace

int write(PyObject* manager, PyObject* node_class, PyObject* output, const Extras* extras) {
    py::Ref initial = py::Ref::steal(PyObject_GetAttrString(manager, attr::kInitialPath));
    if (!initial) return -1;
    if (extras && !extras->any()) extras = nullptr;
    report::CertificateDescription about;
    if (extras && describe(initial.get(), *extras, about) < 0) return -1;
    Destination d;
    if (open_destination(initial.get(), output, d) < 0 ||
        PyObject_SetAttrString(manager, attr::kCertFolderPath, d.folder.get()) < 0)
        return -1;
    py::Ref payload_path;
    py::Ref table;
    if (payload_and_table(manager, d.folder.get(), payload_path, table) < 0) return -1;
    return stream_archive(d, extras, about, [&](auto& sink, auto& restart) {
        return write_payload(table.get(), node_class, sink, restart);
    });
}

int write_table(PyObject* top, const table::NodeTable& nodes, PyObject* output, py::Ref& folder,
                const Extras* extras) {
    if (extras && !extras->any()) extras = nullptr;
    report::CertificateDescription about;
    if (extras && describe(top, *extras, about) < 0) return -1;
    Destination d;
    if (open_destination(top, output, d) < 0) return -1;
    folder = d.folder;
    // No Python object is involved: the whole archive is written without the interpreter lock,
    // on a thread of its own, while Ctrl-C is looked for.
    const std::string shown = fs::posix_join(d.folder_bytes, d.name);
    std::atomic<bool> cancel{false};
    const zip::WriteOptions options = archive_options(&cancel);
    zip::MemberArchiveWriter archive;
    zip::Error err;
    zip::Status status = zip::Status::kOk;
    Appended appended = Appended::kOk;
    std::string sign_error;
    bool out_of_memory = false;
    auto work = [&]() noexcept {
        status = archive.begin(d.dir.get(), d.name, shown, kPayload, &err, options);
        if (status != zip::Status::kOk) return;
        try {
            hash::sha256::BackgroundHasher digest;  // on the other core while the payload is made
            const bool complete = table::write_payload(nodes, [&](std::string_view piece) {
                if (cancellation::requested(&cancel)) return false;
                if (extras) digest.update(piece.data(), piece.size());
                status = archive.add(piece.data(), piece.size(), &err);
                return status == zip::Status::kOk;
            });
            if (complete && extras)
                appended =
                    append_members(archive, *extras, about, digest.finish(), &err, &sign_error);
            if (complete && appended == Appended::kOk) status = archive.finish(&err);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    };
    if (py::run_interruptible(work, cancel) < 0) {
        // Ctrl-C as the new archive took its place no longer fails the run.
        if (!archive.renamed() || !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return -1;
        PyErr_Clear();
    } else if (!archive.renamed()) {  // a failed folder sync after the rename is no failure
        if (out_of_memory) {
            PyErr_NoMemory();
        } else if (appended != Appended::kOk) {
            raise_appended(appended, err, sign_error);
        } else {
            set_archive_error(err);
        }
        return -1;
    }
    remove_leftover_payload(d);
    return 0;
}

int save(PyObject* manager, PyObject* node_class) {
    py::Ref folder;
    std::string folder_bytes;
    fs::UniqueFd dir;
    if (manager_folder(manager, folder, folder_bytes, dir) < 0) return -1;
    py::Ref payload_path;
    py::Ref table;
    if (payload_and_table(manager, folder.get(), payload_path, table) < 0) return -1;
    std::string shown;
    if (py::encode_path(payload_path.get(), shown) < 0) return -1;

    // A new payload file under a temporary name of our own, renamed over "Certificate.pk": a
    // link or a named pipe there is replaced, never written through or opened.
    fs::AtomicFile file;
    fs::OsError oe;
    auto os_fail = [&]() {
        if (oe.code == ELOOP) {
            refuse_link(shown);
        } else {
            py::set_os_error(oe.code, shown);
        }
        return -1;
    };
    std::atomic<bool> cancel{false};
    int opened = 0;
    auto open = [&]() noexcept {
        opened = file.open_in(dir.get(), kPayload, shown, &oe, fs::Sync::kNone, &cancel);
    };
    if (py::run_interruptible(open, cancel) < 0) return -1;  // the temporary goes
    if (opened != 0) return os_fail();
    uint64_t since_check = 0;
    auto sink = [&](std::string_view piece) {
        if (file.write_all(piece.data(), piece.size(), &oe) != 0) return os_fail();
        return check_signals(since_check, piece.size());
    };
    auto restart = [&]() {
        if (::ftruncate(file.fd(), 0) != 0 || ::lseek(file.fd(), 0, SEEK_SET) != 0) {
            py::set_os_error(errno, shown);
            return -1;
        }
        return 0;
    };
    if (write_payload(table.get(), node_class, sink, restart) < 0) return -1;  // the temporary goes
    return file.commit(&oe) == 0 ? 0 : os_fail();
}

int archive(PyObject* manager) {
    py::Ref folder = py::Ref::steal(PyObject_GetAttrString(manager, attr::kCertFolderPath));
    if (!folder) return -1;
    py::Ref payload_path = py::Ref::steal(PyObject_GetAttrString(manager, attr::kPickleFilePath));
    if (!payload_path) return -1;
    py::Ref archive_path = py::join(folder.get(), kArchive);
    if (!archive_path) return -1;
    std::string folder_bytes, archive_bytes, payload_bytes;
    if (py::encode_path(folder.get(), folder_bytes) < 0 ||
        py::encode_path(archive_path.get(), archive_bytes) < 0 ||
        py::encode_path(payload_path.get(), payload_bytes) < 0)
        return -1;
    fs::UniqueFd dir;
    if (open_folder(folder_bytes, false, dir) < 0) return -1;
    remove_stale(dir.get());

    // The payload must be a regular file of its own: not followed through a link, and a named
    // pipe is refused without waiting for a writer.
    std::string payload_parent, payload_name;
    split(payload_bytes, payload_parent, payload_name);
    fs::UniqueFd payload_dir, payload;
    int open_err =
        fs::open_at_any_length(AT_FDCWD, payload_parent, O_PATH | O_DIRECTORY, payload_dir);
    if (open_err == 0) {
        const int fd = fs::openat_retry(payload_dir.get(), payload_name.c_str(),
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) open_err = errno;
        payload.reset(fd);
    }
    if (open_err == ELOOP) {
        refuse_link(payload_bytes, "Refusing to archive a payload that is a symbolic link");
        return -1;
    }
    if (open_err != 0) {
        py::set_os_error(open_err, payload_bytes);
        return -1;
    }

    zip::Error err;
    zip::Status status = zip::Status::kOk;
    std::atomic<bool> cancel{false};
    const zip::WriteOptions options = archive_options(&cancel);
    auto work = [&]() noexcept {
        status = zip::write_member_from_file(dir.get(), kArchive, archive_bytes, kPayload,
                                             payload.get(), payload_bytes, &err, options);
    };
    if (py::run_interruptible(work, cancel) < 0) return -1;  // the old archive stays
    if (status != zip::Status::kOk) {
        // The archive was not made: the payload stays for another attempt (it may be a file
        // the caller named, and it is removed only once it is in an archive).
        set_archive_error(err);
        return -1;
    }
    if (::unlinkat(payload_dir.get(), payload_name.c_str(), 0) != 0) {
        py::set_os_error(errno, payload_bytes);
        return -1;
    }
    return 0;
}

}  // namespace mavelin::certificate
