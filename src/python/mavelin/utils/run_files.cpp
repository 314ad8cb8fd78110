// The files a run itself reads or writes (the certificate in use, the certificate it writes, its
// report): checked before any work, and left out of the tree they may lie in.
#include "python/mavelin/utils/run_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/fs/file_io.h"
#include "python/capi/errors.h"
#include "python/capi/paths.h"

namespace mavelin::run_files {
namespace {

// The folder part of `path` as the system resolves it ("." when there is none) and its last
// component ("" for a path ending in '/').
void split(const std::string& path, std::string& folder, std::string& name) {
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// OSError(code, reason, path) of the path the caller gave.
int refuse(int code, const char* reason, PyObject* path) {
    return py::raise(py::os_error(code, path, reason));
}

// Whether the folder open on `dirfd` may be written: 0, or the errno (EROFS on a read-only
// mount, EACCES ...). Nothing is created to find out.
int folder_writable(int dirfd) {
    struct statvfs vfs;
    if (::fstatvfs(dirfd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) return EROFS;
    return ::faccessat(dirfd, ".", W_OK | X_OK, 0) == 0 ? 0 : errno;
}

// realpath(path), or "" when it cannot be resolved.
std::string resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

// The absolute paths, every link resolved, of the entry `path` names (its resolved folder and
// its name) and, with `follow`, of the file it leads to.
std::vector<std::string> entries(const std::string& path, bool follow) {
    std::vector<std::string> out;
    std::string folder, name;
    split(path, folder, name);
    const std::string real_folder = resolved(folder);
    if (!real_folder.empty() && !name.empty() && name != "." && name != "..")
        out.push_back(fs::posix_join(real_folder, name));
    if (follow) {
        std::string target = resolved(path);
        if (!target.empty() && (out.empty() || target != out[0])) out.push_back(std::move(target));
    }
    return out;
}

}  // namespace

int check_target(PyObject* target, const char* what) {
    std::string path, folder, name;
    if (py::encode_path(target, path) < 0) return -1;
    split(path, folder, name);
    fs::UniqueFd dir;
    if (int err = fs::open_at_any_length(AT_FDCWD, folder, O_PATH | O_DIRECTORY, dir)) {
        py::set_os_error(err, path);
        return -1;
    }
    if (name.empty() || name == "." || name == "..") {
        py::set_os_error(EISDIR, path);
        return -1;
    }
    if (int err = folder_writable(dir.get())) {
        py::set_os_error(err, path);
        return -1;
    }
    struct stat st;
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return 0;
        py::set_os_error(errno, path);
        return -1;
    }
    if (S_ISREG(st.st_mode)) {
        if (::faccessat(dir.get(), name.c_str(), W_OK, 0) == 0) return 0;
        py::set_os_error(errno, path);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        py::set_os_error(EISDIR, path);
        return -1;
    }
    const char* kind = S_ISLNK(st.st_mode)    ? "a symbolic link"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISFIFO(st.st_mode) ? "a named pipe"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "no regular file";
    py::Ref reason = py::Ref::steal(PyUnicode_FromFormat(
        "Refusing to replace %s with the %s: it is not a regular file", kind, what));
    if (!reason) return -1;
    const char* text = PyUnicode_AsUTF8(reason.get());
    return text ? refuse(S_ISLNK(st.st_mode) ? ELOOP : EINVAL, text, target) : -1;
}

int certificate_folder_writable(PyObject* top, int& err, py::Ref& folder) {
    py::Ref certificates = py::join(top, certificate_format::kFolderName);
    std::string path;
    if (!certificates || py::encode_path(certificates.get(), path) < 0) return -1;
    fs::UniqueFd dir;
    folder = certificates;
    err = fs::open_at_any_length(AT_FDCWD, path, O_PATH | O_DIRECTORY, dir);
    if (err == ENOENT) {  // made by the signing, in the top
        folder = py::Ref::borrow(top);
        if (py::encode_path(top, path) < 0) return -1;
        err = fs::open_at_any_length(AT_FDCWD, path, O_PATH | O_DIRECTORY, dir);
    }
    // Whatever else is wrong with it (a link, no folder) the writer says in its own words.
    if (err != 0) return 1;
    err = folder_writable(dir.get());
    return err == 0 ? 1 : 0;
}

int replaces(PyObject* target, PyObject* certificate) {
    std::string written, read;
    if (py::encode_path(target, written) < 0 || py::encode_path(certificate, read) < 0) return -1;
    const std::vector<std::string> named = entries(written, false);
    if (named.empty()) return 0;
    for (const std::string& entry : entries(read, true))
        if (entry == named[0]) return 1;
    return 0;
}

int check_report_place(PyObject* report, PyObject* top, PyObject* certificate) {
    auto refuse_over = [report](PyObject* cert) {
        const int r = replaces(report, cert);
        if (r <= 0) return r;
        refuse(EINVAL, "Refusing to write the report over the certificate", report);
        return -1;
    };
    if (certificate) return refuse_over(certificate) < 0 ? -1 : 0;
    py::Ref folder = py::join(top, certificate_format::kFolderName);
    py::Ref in_folder =
        folder ? py::join(folder.get(), certificate_format::kArchiveName) : py::Ref();
    py::Ref at_top = py::join(top, certificate_format::kArchiveName);
    if (!in_folder || !at_top) return -1;
    return refuse_over(at_top.get()) < 0 || refuse_over(in_folder.get()) < 0 ? -1 : 0;
}

int add_skipped(PyObject* top, PyObject* path, bool follow, fs::SkippedFiles& skipped) {
    std::string top_bytes, path_bytes;
    if (py::encode_path(top, top_bytes) < 0 || py::encode_path(path, path_bytes) < 0) return -1;
    std::string prefix = resolved(top_bytes);
    if (prefix.empty()) return 0;
    if (prefix.back() != '/') prefix.push_back('/');
    for (const std::string& entry : entries(path_bytes, follow)) {
        if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rel = entry.substr(prefix.size());
        const size_t slash = rel.rfind('/');
        if (slash == std::string::npos) {
            skipped.push_back({std::string(), rel});
        } else {
            skipped.push_back({rel.substr(0, slash), rel.substr(slash + 1)});
        }
    }
    return 0;
}

}  // namespace mavelin::run_files
