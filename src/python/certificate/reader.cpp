// Loading a certificate: the archive member, decoded by the restricted payload reader.
#include "python/certificate/reader.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/certificate_format.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/memory_budget.h"
#include "engine/pickle/node_table.h"
#include "engine/pickle/reader.h"
#include "engine/table/payload_reader.h"
#include "engine/zip/reader.h"
#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"
#include "python/certificate/archive_errors.h"
#include "python/certificate/codec.h"
#include "python/certificate/pinned_archive.h"

namespace mavelin::certificate {
namespace {

constexpr const char* kMemberName = certificate_format::kPayloadName;

// Failures to open the archive or its member reach the caller as the archive error they
// are: OSError, KeyError for a missing member, BadZipFile for anything else unusable. Unless the
// file itself could not be opened or read, the message says that the certificate is damaged (or
// of a kind that cannot be read) and why.
void set_open_error(const zip::Error& err) {
    if (err.status == zip::Status::kOsError && !err.os.path.empty()) {
        raise_archive_error(err);
        return;
    }
    std::string why = err.message;
    if (err.status == zip::Status::kOsError || err.status == zip::Status::kBadOffset) {
        constexpr std::string_view kSeek = "seek to ";
        why = "the member's local header offset";
        if (err.message.rfind(kSeek, 0) == 0) why.append(" ").append(err.message, kSeek.size());
        why += " lies outside any possible file";
    } else if (err.status == zip::Status::kUnsupported && why.rfind("compression type", 0) == 0) {
        why += " is not supported: only stored and deflated members are read";
    }
    const bool unreadable =
        err.status == zip::Status::kUnsupported || err.status == zip::Status::kEncrypted;
    zip::Error told = err;
    told.message =
        (unreadable ? "Certificate file cannot be read: " : "Certificate file is corrupted: ") +
        why;
    if (err.status == zip::Status::kOsError) {
        py::raise(py::os_error(err.os.code, nullptr, told.message.c_str()));
        return;
    }
    if (err.status == zip::Status::kNoMember || err.status == zip::Status::kNotZip ||
        err.status == zip::Status::kBadArchive || err.status == zip::Status::kBadMember) {
        raise_archive_error(told);
        return;
    }
    py::Ref bad_zip = py::import_attr("zipfile", "BadZipFile");
    if (!bad_zip) return;
    py::Ref message = py::Ref::steal(PyUnicode_DecodeUTF8(
        told.message.data(), static_cast<Py_ssize_t>(told.message.size()), "backslashreplace"));
    if (message) PyErr_SetObject(bad_zip.get(), message.get());
}

// Takes the pending exception as the reason a payload was refused: its text (the decoder's
// reasons are short phrases), or its kind and text for anything else.
std::string refusal_reason() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    py::Ref t = py::Ref::steal(type), v = py::Ref::steal(value), trace = py::Ref::steal(tb);
    std::string why;
    if (t && !PyErr_GivenExceptionMatches(t.get(), PyExc_ValueError)) {
        why = reinterpret_cast<PyTypeObject*>(t.get())->tp_name;
        const std::size_t dot = why.rfind('.');
        if (dot != std::string::npos) why.erase(0, dot + 1);
    }
    py::Ref text = py::Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
    Py_ssize_t n = 0;
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (s && n > 0) why.append(why.empty() ? "" : ": ").append(s, static_cast<std::size_t>(n));
    PyErr_Clear();
    return why.empty() ? "the payload was refused" : why;
}

bool read_table(const std::shared_ptr<zip::Source>& src, const std::string& path,
                table::NodeTable& table, const std::atomic<bool>& cancel,
                const hash::sha256::Digest* expected);

// Whether `len` bytes at `data` have the payload digest that the certificate's checked signature
// gave (true when none is known).
bool as_signed(const hash::sha256::Digest* expected, const std::uint8_t* data, std::size_t len) {
    if (!expected) return true;
    hash::sha256::Hasher h;
    h.update(data, len);
    return h.finish() == *expected;
}

constexpr const char kChangedSinceCheck[] =
    "its payload is not the one its signature was checked with (the file was written meanwhile)";

// The archive at `path` (the run's pinned one, when it is that path); null with `err` set.
std::shared_ptr<zip::Source> source_of(const std::string& path, zip::Error& err) {
    try {
        return archive_source(path, &err);
    } catch (const std::bad_alloc&) {
        zip::os_error(&err, ENOMEM, path);
        return nullptr;
    }
}

}  // namespace

Result load(PyObject* certificate_path, PyObject* node_class, py::Ref& table, std::string& why) {
    std::string path;
    if (py::encode_path(certificate_path, path) < 0) return Result::kError;
    zip::Member member;
    zip::Error err;
    zip::Status status = zip::Status::kOk;
    std::atomic<bool> cancel{false};
    bool sound = false;  // the compact decoder took the whole payload within the budget
    // Opened here, on the thread that may have pinned it; read on the reading thread.
    const std::shared_ptr<zip::Source> src = source_of(path, err);
    const std::optional<hash::sha256::Digest> expected = expected_payload_digest(path);
    const hash::sha256::Digest* signed_digest = expected ? &*expected : nullptr;
    auto read = [&] {
        if (!src) {
            status = err.status;
            return;
        }
        status = zip::read_member(*src, path, kMemberName, &member, &err, &cancel);
        // Deflated beyond what its size allows: the host's stream of a table of many alike
        // records (files of the same content) does that, and the compact decoder takes it
        // without keeping it whole. Then it may be read whole, as its table costs more anyway.
        if (member.beyond_allowance) {
            table::NodeTable probe;
            sound = read_table(src, path, probe, cancel, signed_digest);
        }
        if (sound)
            status = zip::read_member(*src, path, kMemberName, &member, &err, &cancel, UINT64_MAX);
    };
    if (py::run_interruptible(read, cancel) < 0) return Result::kError;  // Ctrl-C: no verdict
    if (status == zip::Status::kTruncated || status == zip::Status::kBadCrc ||
        status == zip::Status::kBadData) {
        why = err.message;  // the member's data itself is damaged
        return Result::kCorrupted;
    }
    if (status != zip::Status::kOk) {
        set_open_error(err);
        return Result::kError;
    }
    if (!as_signed(signed_digest, member.data.data(), member.data.size())) {
        why = kChangedSinceCheck;
        return Result::kCorrupted;
    }
    // The payload and the decoder's tables within what the archive's size allows.
    auto budget = memory_budget::Budget::for_file(member.archive_size);
    budget.charge(member.data.size());  // the reader kept no more than that allows
    table = py::Ref::steal(
        certificate::load_node_table(reinterpret_cast<const char*>(member.data.data()),
                                     member.data.size(), node_class, sound ? nullptr : &budget));
    if (table) return Result::kOk;
    // An interrupt or an exit request is no verdict on the certificate.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Result::kError;
    why = refusal_reason();
    return Result::kCorrupted;
}

namespace {

// load_table's work, away from the interpreter lock: true when `table` was filled. Every read
// and every decoding loop stops soon after `cancel` is set (then false).
bool read_table(const std::shared_ptr<zip::Source>& src, const std::string& path,
                table::NodeTable& table, const std::atomic<bool>& cancel,
                const hash::sha256::Digest* expected) {
    try {
        // A stored payload (the signer's) goes straight from the archive into the table.
        zip::MemberStream stream;
        zip::Error err;
        const zip::Status opened = stream.open(src, path, kMemberName, &err, &cancel);
        if (opened != zip::Status::kOk && opened != zip::Status::kUnsupported) return false;
        if (opened == zip::Status::kOk) {
            auto budget = memory_budget::Budget::for_file(stream.archive_size());
            hash::sha256::Hasher h;
            auto read = [&](std::uint8_t* buffer, std::size_t capacity) {
                const std::ptrdiff_t n = stream.read(buffer, capacity);
                if (n > 0 && expected) h.update(buffer, static_cast<std::size_t>(n));
                return n;
            };
            const table::DecodeResult r = table::decode_payload(read, table, &budget);
            if (r == table::DecodeResult::kOk && !expected) return true;
            if (r == table::DecodeResult::kOk) {
                // Whatever the decoder left of the member, then the digest of all of it.
                std::uint8_t rest[4096];
                std::ptrdiff_t n;
                while ((n = read(rest, sizeof rest)) > 0) {
                }
                if (n == 0 && h.finish() == *expected) return true;
                table = table::NodeTable();
                return false;
            }
            if (r == table::DecodeResult::kReadFailed) return false;
        }
        // Deflated, or another protocol's stream of such a table: read whole, then decoded
        // within what the archive's size allows.
        table = table::NodeTable();
        zip::Member member;
        if (zip::read_member(*src, path, kMemberName, &member, &err, &cancel) != zip::Status::kOk)
            return false;
        auto budget = memory_budget::Budget::for_file(member.archive_size);
        budget.charge(member.data.size());  // the reader kept no more than that allows
        if (as_signed(expected, member.data.data(), member.data.size()) &&
            table::decode_any(member.data, table, budget, &cancel) == table::DecodeResult::kOk)
            return true;
    } catch (const std::exception&) {  // out of memory, or a limit of the table
    }
    table = table::NodeTable();
    return false;
}

}  // namespace

int load_table(PyObject* certificate_path, table::NodeTable& table) {
    std::string path;
    if (py::encode_path(certificate_path, path) < 0) {
        PyErr_Clear();
        return 0;
    }
    std::atomic<bool> cancel{false};
    bool loaded = false;
    zip::Error err;
    const std::shared_ptr<zip::Source> src = source_of(path, err);  // on the pinning thread
    if (!src) return 0;
    const std::optional<hash::sha256::Digest> expected = expected_payload_digest(path);
    auto work = [&]() noexcept {
        loaded = read_table(src, path, table, cancel, expected ? &*expected : nullptr);
    };
    if (py::run_interruptible(work, cancel) < 0) {  // Ctrl-C
        table = table::NodeTable();
        return -1;
    }
    return loaded ? 1 : 0;
}

}  // namespace mavelin::certificate
