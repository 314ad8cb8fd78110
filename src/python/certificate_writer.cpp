// Writing a FileManager's certificate: the payload file, then the archive that holds it.
#include "python/certificate_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine/file_io.h"
#include "engine/zip_writer.h"
#include "python/archive_errors.h"
#include "python/certificate_codec.h"
#include "python/common.h"
#include "python/models.h"

namespace mavelin::certificate_writer {
namespace {

py::Ref join(PyObject* a, const char* b) {
    py::Ref fn = py::import_attr("posixpath", "join");
    if (!fn) return {};
    return py::Ref::steal(PyObject_CallFunction(fn.get(), "Os", a, b));
}

// The payload: the node table as the host pickles it at protocol 4.
int serialize(PyObject* table, std::string& out) {
    PyObject* node_class = models::filenode_class();
    if (!node_class) return -1;
    int r = certificate::dump_node_table(table, node_class, out);
    if (r <= 0) return r;
    // Not a table of the shape a scan makes: the host's pickler writes it.
    py::Ref dumps = py::import_attr("pickle", "dumps");
    if (!dumps) return -1;
    py::Ref bytes = py::Ref::steal(PyObject_CallFunction(dumps.get(), "Oi", table, 4));
    if (!bytes) return -1;
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return -1;
    out.assign(data, static_cast<size_t>(len));
    return 0;
}

// Creates or empties `path` and writes `data` into it, as open(path, "wb") would.
int write_file(const std::string& path, const std::string& data) {
    int err = 0;
    Py_BEGIN_ALLOW_THREADS io::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) {
        err = errno;
    } else {
        size_t done = 0;
        while (done < data.size() && err == 0) {
            ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
            if (n < 0 && errno != EINTR) err = errno;
            if (n > 0) done += static_cast<size_t>(n);
        }
        if (err == 0 && ::close(fd.release()) != 0) err = errno;
        fd.reset();
        if (err != 0) ::unlink(path.c_str());  // no partial payload is left behind
    }
    Py_END_ALLOW_THREADS if (err != 0) {
        py::set_os_error(err, path);
        return -1;
    }
    return 0;
}

}  // namespace

int save(PyObject* manager) {
    py::Ref initial = py::Ref::steal(PyObject_GetAttrString(manager, "_initial_path"));
    if (!initial) return -1;
    py::Ref folder = join(initial.get(), "Certificates");
    if (!folder || PyObject_SetAttrString(manager, "_cert_folder_path", folder.get()) < 0)
        return -1;
    py::Ref exists = py::import_attr("os.path", "exists");
    if (!exists) return -1;
    py::Ref present = py::Ref::steal(PyObject_CallOneArg(exists.get(), folder.get()));
    if (!present) return -1;
    if (!PyObject_IsTrue(present.get())) {
        py::Ref mkdir = py::import_attr("os", "mkdir");
        if (!mkdir) return -1;
        py::Ref r = py::Ref::steal(PyObject_CallOneArg(mkdir.get(), folder.get()));
        if (!r) return -1;
    }
    py::Ref payload_path = join(folder.get(), "Certificate.pk");
    if (!payload_path ||
        PyObject_SetAttrString(manager, "_pickle_file_path", payload_path.get()) < 0)
        return -1;
    py::Ref table = py::Ref::steal(PyObject_GetAttrString(manager, "_file_nodes"));
    if (!table) return -1;
    std::string payload;
    std::string path;
    if (serialize(table.get(), payload) < 0 || py::encode_path(payload_path.get(), path) < 0)
        return -1;
    return write_file(path, payload);
}

int archive(PyObject* manager) {
    py::Ref folder = py::Ref::steal(PyObject_GetAttrString(manager, "_cert_folder_path"));
    if (!folder) return -1;
    py::Ref payload_path = py::Ref::steal(PyObject_GetAttrString(manager, "_pickle_file_path"));
    if (!payload_path) return -1;
    py::Ref archive_path = join(folder.get(), "Certificate.korvex");
    if (!archive_path) return -1;
    std::string archive_bytes, payload_bytes;
    if (py::encode_path(archive_path.get(), archive_bytes) < 0 ||
        py::encode_path(payload_path.get(), payload_bytes) < 0)
        return -1;
    zip::Error err;
    zip::Status status;
    zip::WriteOptions options;
    // Lay the archive out exactly as this interpreter's own zipfile would.
    options.host = PY_VERSION_HEX >= 0x030B0000 ? zip::HostZip::k311 : zip::HostZip::k310;
    Py_BEGIN_ALLOW_THREADS status = zip::write_single_stored_member(archive_bytes, "Certificate.pk",
                                                                    payload_bytes, &err, options);
    if (status != zip::Status::kOk) ::unlink(payload_bytes.c_str());  // the archive was not made
    Py_END_ALLOW_THREADS if (status != zip::Status::kOk) {
        archive_errors::set(err);
        return -1;
    }
    if (::unlink(payload_bytes.c_str()) != 0) {
        py::set_os_error(errno, payload_bytes);
        return -1;
    }
    return 0;
}

}  // namespace mavelin::certificate_writer
