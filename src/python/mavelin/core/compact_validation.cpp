// Validation by path on compact node tables: the certificate, the fresh scan and the join in C++.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "python/capi/attribute_names.h"
#include "python/capi/common.h"
#include "python/capi/state.h"
#include "python/certificate/reader.h"
#include "python/mavelin/core/comparison/node_comparison.h"
#include "python/mavelin/core/file_managing.h"
#include "python/mavelin/core/passes/tree_pass.h"
#include "python/mavelin/core/validation.h"
#include "python/mavelin/utils/procedure_support.h"

namespace mavelin::validation {
namespace {

PyObject* logger() {
    return py::state().validation_logger.get();
}

// Certificate nodes whose id is not the number of their key ("node_id_N" for the N-th node,
// which the compact form guarantees) are not authentic.
void mark_id_mismatches(table::NodeTable& certificate) {
    if (certificate.sequential_ids()) return;
    for (size_t i = 0; i < certificate.size(); ++i)
        if (certificate.id(i) != static_cast<int64_t>(i) + 1)
            certificate.mark(i, table::NodeTable::kIdMismatch);
}

// What the walk found, set on the validator as generate_fingerprints() sets it, and logged as the
// scan logs it.
int report_walk(PyObject* validator, PyObject* top_path, file_managing::TreePass& pass) {
    py::Ref uncertified = file_managing::uncertified_folders(pass.left_out());
    py::Ref links = file_managing::uncertified_links(pass.dangling_links());
    py::Ref folder_errors = file_managing::scan_errors(top_path, pass.walk_errors());
    py::Ref count = py::Ref::steal(PyLong_FromSize_t(pass.nodes().size()));
    if (!uncertified || !links || !folder_errors || !count ||
        PyObject_SetAttrString(validator, attr::kUncertifiedFolders, uncertified.get()) < 0 ||
        PyObject_SetAttrString(validator, attr::kUncertifiedLinks, links.get()) < 0 ||
        PyObject_SetAttrString(validator, attr::kUnreadableFolders, folder_errors.get()) < 0)
        return -1;
    return procedures::report_scan(logger(), uncertified.get(), links.get(), nullptr, count.get());
}

// The fingerprints of the walk's nodes; the files that could not be read go to
// validator._unreadable_files as (path, OSError) pairs, their total size to
// validator._fingerprinted_bytes.
int fill(PyObject* validator, file_managing::TreePass& pass) {
    std::vector<table::FillFailure> failures;
    uint64_t bytes = 0;
    if (pass.fill(failures, bytes) < 0) return -1;
    py::Ref errors = file_managing::unreadable_pairs(pass.nodes(), failures);
    py::Ref total = py::Ref::steal(PyLong_FromUnsignedLongLong(bytes));
    if (!errors || !total ||
        PyObject_SetAttrString(validator, attr::kUnreadableFiles, errors.get()) < 0 ||
        PyObject_SetAttrString(validator, attr::kFingerprintedBytes, total.get()) < 0)
        return -1;
    return 0;
}

}  // namespace

int run_by_path(PyObject* validator, py::Ref& failed, py::Ref& files) {
    py::Ref certificate_path = py::attr(validator, attr::kCertificatePath);
    py::Ref top_path = py::attr(validator, attr::kResultPath);
    if (!certificate_path || !top_path) return -1;
    std::string top;
    if (py::encode_path(top_path.get(), top) < 0) return -1;

    // The walk and the hashing go on while the certificate is read. When the certificate does
    // not fit the compact form, the general way starts over (nothing was reported yet).
    file_managing::TreePass pass(top);
    if (pass.start() < 0) return -1;
    table::NodeTable certificate;
    const int loaded = certificate_reader::load_table(certificate_path.get(), certificate);
    if (loaded <= 0) return loaded < 0 ? -1 : 1;
    if (pass.walk() < 0) return -1;
    mark_id_mismatches(certificate);
    if (report_walk(validator, top_path.get(), pass) < 0 || fill(validator, pass) < 0) return -1;
    const table::NodeTable& fresh = pass.nodes();

    node_comparison::Findings findings(validator, logger());
    if (findings.start() < 0) return -1;
    const long long folders = findings.unreadable_folders();
    if (folders < 0) return -1;
    const long long count = node_comparison::by_path(certificate, fresh, findings);
    if (count < 0) return -1;
    failed = py::Ref::steal(PyLong_FromLongLong(folders + count));
    files = py::Ref::steal(PyLong_FromSize_t(fresh.size()));
    return failed && files ? 0 : -1;
}

}  // namespace mavelin::validation
