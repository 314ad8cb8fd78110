// Validation on compact node tables: the certificate, the fresh scan and the pairing in C++.
#include "python/mavelin/core/compact_validation.h"

#include <cstdint>
#include <string>
#include <vector>

#include "engine/compare/node_join.h"
#include "engine/compare/position_join.h"
#include "engine/metadata/compare.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "python/capi/attribute_names.h"
#include "python/capi/import.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/capi/text.h"
#include "python/certificate/metadata_reader.h"
#include "python/certificate/reader.h"
#include "python/mavelin/core/comparison/node_comparison.h"
#include "python/mavelin/core/file_managing.h"
#include "python/mavelin/core/log_lines.h"
#include "python/mavelin/core/passes/fingerprint_pass.h"
#include "python/mavelin/core/passes/tree_pass.h"

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
// scan logs it; the folders that could not be read in `folder_errors`.
int report_walk(PyObject* validator, PyObject* top_path, passes::TreePass& pass, Outcome& out,
                py::Ref& folder_errors) {
    out.uncertified = file_managing::uncertified_folders(pass.left_out());
    out.links = file_managing::uncertified_links(pass.dangling_links());
    folder_errors = file_managing::scan_errors(top_path, pass.walk_errors());
    out.files = py::Ref::steal(PyLong_FromSize_t(pass.nodes().size()));
    if (!out.uncertified || !out.links || !folder_errors || !out.files ||
        PyObject_SetAttrString(validator, attr::kUncertifiedFolders, out.uncertified.get()) < 0 ||
        PyObject_SetAttrString(validator, attr::kUncertifiedLinks, out.links.get()) < 0 ||
        PyObject_SetAttrString(validator, attr::kUnreadableFolders, folder_errors.get()) < 0)
        return -1;
    return log_lines::report_scan(logger(), out.uncertified.get(), out.links.get(), nullptr,
                                  out.files.get());
}

// The fingerprints of the walk's nodes; the files that could not be read in `file_errors` as
// (path, OSError) pairs, their total size in out.bytes; both set on the validator too.
int fill(PyObject* validator, passes::TreePass& pass, Outcome& out, py::Ref& file_errors) {
    std::vector<table::FillFailure> failures;
    uint64_t bytes = 0;
    if (pass.fill(failures, bytes) < 0) return -1;
    file_errors = passes::unreadable_pairs(pass.nodes(), failures);
    out.bytes = py::Ref::steal(PyLong_FromUnsignedLongLong(bytes));
    if (!file_errors || !out.bytes ||
        PyObject_SetAttrString(validator, attr::kUnreadableFiles, file_errors.get()) < 0 ||
        PyObject_SetAttrString(validator, attr::kFingerprintedBytes, out.bytes.get()) < 0)
        return -1;
    return 0;
}

// The metadata findings: the stored member against the walk's records.
int check_metadata_of(PyObject* certificate_path, const table::NodeTable& certificate,
                      passes::TreePass& pass, node_comparison::Findings& findings) {
    metadata::FileStats stored;
    std::string why;
    const int loaded = certificate::load_metadata(certificate_path, stored, why);
    if (loaded < 0) return -1;
    if (loaded == 0 || stored.size() != certificate.size()) {
        if (loaded != 0) why = "its file metadata does not list its files";
        py::Ref message =
            py::Ref::steal(PyUnicode_FromFormat("File metadata not checked: %s.", why.c_str()));
        return message ? py::log(logger(), "warning", message.get()) : -1;
    }
    std::vector<metadata::Change> changes;
    try {
        changes = metadata::compare_metadata(certificate, stored, pass.nodes(), pass.stats());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    static const char* const kWhat[] = {"mode", "owner", "group", "link target"};
    for (const metadata::Change& c : changes) {
        py::Ref path = py::decode_path(c.path);
        if (!path) return -1;
        const std::string suffix =
            std::string(": ") + kWhat[c.what] + " " + c.before + " \u2192 " + c.after;
        // Link targets are any bytes: shown escaped, as paths are, so no line can be forged.
        py::Ref raw = py::decode_path(suffix);
        py::Ref shown = raw ? py::display_text(raw.get()) : py::Ref();
        const char* text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
        if (!text || findings.report("metadata", path.get(), nullptr, "File ", text) < 0) return -1;
    }
    return 0;
}

}  // namespace

int run_on_tables(PyObject* validator, bool by_position, Outcome& out, bool check_metadata) {
    py::Ref certificate_path = py::attr(validator, attr::kCertificatePath);
    py::Ref top_path = py::attr(validator, attr::kResultPath);
    if (!certificate_path || !top_path) return -1;
    std::string top;
    if (py::encode_path(top_path.get(), top) < 0) return -1;

    // The walk and the hashing go on while the certificate is read. When the certificate does
    // not fit the compact form, the general way starts over (nothing was reported yet).
    passes::TreePass pass(top);
    if (check_metadata) pass.keep_stats(false);
    if (pass.start() < 0) return -1;
    table::NodeTable certificate;
    const int loaded = certificate::load_table(certificate_path.get(), certificate);
    if (loaded <= 0) return loaded < 0 ? -1 : 1;
    if (pass.walk() < 0) return -1;
    mark_id_mismatches(certificate);
    py::Ref folder_errors, file_errors;
    if (report_walk(validator, top_path.get(), pass, out, folder_errors) < 0 ||
        fill(validator, pass, out, file_errors) < 0)
        return -1;
    const table::NodeTable& fresh = pass.nodes();

    node_comparison::Findings findings(validator, logger(), file_errors.get(), folder_errors.get());
    if (findings.start() < 0) return -1;
    const long long folders = findings.unreadable_folders();
    if (folders < 0) return -1;
    const long long count =
        node_comparison::on_tables(by_position ? compare::join_by_position : compare::join_by_path,
                                   certificate, fresh, findings);
    if (count < 0) return -1;
    if (check_metadata &&
        check_metadata_of(certificate_path.get(), certificate, pass, findings) < 0)
        return -1;
    out.failed = py::Ref::steal(PyLong_FromLongLong(folders + count));
    out.findings = py::Ref::borrow(findings.list());
    out.unchecked = py::Ref::steal(PyLong_FromSize_t(findings.unchecked()));
    return out.failed && out.unchecked ? 0 : -1;
}

}  // namespace mavelin::validation
