// Writing a FileManager's certificate: the payload file, then the archive that holds it.
#include "python/certificate/writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "engine/fs/file_io.h"
#include "engine/zip/writer.h"
#include "python/capi/common.h"
#include "python/capi/gil.h"
#include "python/certificate/archive_errors.h"
#include "python/certificate/codec.h"
#include "python/mavelin/core/models.h"

namespace mavelin::certificate_writer {
namespace {

// The payload: the node table as the host pickles it at protocol 4, written to `fd` as it
// is made. Tables of other shapes go to the host's pickler.
int write_payload(PyObject* table, int fd, const std::string& path) {
    PyObject* node_class = models::filenode_class();
    if (!node_class) return -1;
    auto sink = [fd, &path](std::string_view piece) {
        const int err = fs::write_all(fd, piece.data(), piece.size());
        if (err == 0) return 0;
        py::set_os_error(err, path);
        return -1;
    };
    const int r = certificate::dump_node_table(table, node_class, sink);
    if (r <= 0) return r;
    // Not a table of the shape a scan makes: start again with the host's pickler.
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
        py::set_os_error(errno, path);
        return -1;
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

// Creates or empties `path` (as open(path, "wb") would) and writes the payload into it.
// On any failure the partial file is removed.
int write_payload_file(PyObject* table, const std::string& path) {
    fs::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) {
        py::set_os_error(errno, path);
        return -1;
    }
    int r = write_payload(table, fd.get(), path);
    if (r == 0 && ::close(fd.release()) != 0) {
        py::set_os_error(errno, path);
        r = -1;
    }
    if (r != 0) {
        fd.reset();
        ::unlink(path.c_str());  // no partial payload is left behind
    }
    return r;
}

}  // namespace

int save(PyObject* manager) {
    py::Ref initial = py::Ref::steal(PyObject_GetAttrString(manager, "_initial_path"));
    if (!initial) return -1;
    py::Ref folder = py::join(initial.get(), "Certificates");
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
    py::Ref payload_path = py::join(folder.get(), "Certificate.pk");
    if (!payload_path ||
        PyObject_SetAttrString(manager, "_pickle_file_path", payload_path.get()) < 0)
        return -1;
    py::Ref table = py::Ref::steal(PyObject_GetAttrString(manager, "_file_nodes"));
    if (!table) return -1;
    std::string path;
    if (py::encode_path(payload_path.get(), path) < 0) return -1;
    return write_payload_file(table.get(), path);
}

int archive(PyObject* manager) {
    py::Ref folder = py::Ref::steal(PyObject_GetAttrString(manager, "_cert_folder_path"));
    if (!folder) return -1;
    py::Ref payload_path = py::Ref::steal(PyObject_GetAttrString(manager, "_pickle_file_path"));
    if (!payload_path) return -1;
    py::Ref archive_path = py::join(folder.get(), "Certificate.korvex");
    if (!archive_path) return -1;
    std::string archive_bytes, payload_bytes;
    if (py::encode_path(archive_path.get(), archive_bytes) < 0 ||
        py::encode_path(payload_path.get(), payload_bytes) < 0)
        return -1;
    zip::Error err;
    zip::WriteOptions options;
    // Lay the archive out exactly as this interpreter's own zipfile would.
    options.host = PY_VERSION_HEX >= 0x030B0000 ? zip::HostZip::k311 : zip::HostZip::k310;
    const zip::Status status = py::without_gil([&] {
        const zip::Status s = zip::write_single_stored_member(archive_bytes, "Certificate.pk",
                                                              payload_bytes, &err, options);
        if (s != zip::Status::kOk) ::unlink(payload_bytes.c_str());  // the archive was not made
        return s;
    });
    if (status != zip::Status::kOk) {
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
