// The route rule, and the walk and fingerprints of a procedure's tree into a compact node table.
#include "python/mavelin/core/passes/tree_pass.h"

#include <atomic>

#include "engine/certificate_format.h"
#include "python/capi/import.h"
#include "python/capi/interruptible.h"
#include "python/capi/state.h"
#include "python/mavelin/core/passes/fingerprint_pass.h"

namespace mavelin::passes {
namespace {

fingerprint::Params procedure_params() {
    return {certificate_format::kProcedureChunkSize, certificate_format::kProcedureStep};
}

}  // namespace

int route_to_table(Procedure procedure) {
    py::State& st = py::state();
    py::Ref manager = py::import_attr("mavelin.core.file_managing", "FileManager");
    if (!manager) return -1;
    if (manager.get() != st.manager_class.get()) return 0;
    if (procedure == Procedure::kSign) return 1;
    py::Ref validator = py::import_attr("mavelin.core.validation", "CertificateValidator");
    if (!validator) return -1;
    return validator.get() == st.validator_class.get() ? 1 : 0;
}

int TreePass::start() {
    if (streaming_ || progress_line_wanted() || on_cluster()) return 0;
    const fs::SkippedFiles* skipped = skipped_files();
    streaming_.emplace(top_, procedure_params(), pass_threads(),
                       skipped ? *skipped : fs::SkippedFiles{});
    table::StreamingScan& scan = *streaming_;
    return py::run_interruptible_alloc([&scan] { scan.start(); }, scan.stop_flag());
}

int TreePass::walk() {
    if (start() < 0) return -1;
    if (streaming_) {
        table::StreamingScan& scan = *streaming_;
        return py::run_interruptible_alloc([&scan] { scan.wait_walk(); }, scan.stop_flag());
    }
    std::atomic<bool> cancel{false};
    // The settings belong to this thread: read here, not on the walk's thread.
    const fs::SkippedFiles* skipped = skipped_files();
    return py::run_interruptible_alloc(
        [&] {
            nodes_ = table::scan_tree(top_, certificate_format::kProcedureStep, &walk_errors_,
                                      &cancel, &left_out_, &dangling_links_, skipped);
        },
        cancel);
}

int TreePass::fill(std::vector<table::FillFailure>& failures, std::uint64_t& bytes) {
    if (streaming_) {
        table::StreamingScan& scan = *streaming_;
        return py::run_interruptible_alloc([&] { failures = scan.wait_fill(&bytes); },
                                           scan.stop_flag());
    }
    const fingerprint::Params params = procedure_params();
    if (on_cluster()) return fill_on_cluster(params, failures, bytes);
    const unsigned threads = pass_threads();
    auto rel = [this](std::size_t i) { return nodes_.path(i); };
    auto hash = [&](const std::atomic<bool>& cancel, fingerprint::Progress* progress) {
        failures =
            table::fill_fingerprints(nodes_, top_, params, threads, &cancel, progress, &bytes);
    };
    return run_local_pass(top_, nodes_.size(), rel, hash);
}

int TreePass::fill_on_cluster(const fingerprint::Params& params,
                              std::vector<table::FillFailure>& failures, std::uint64_t& bytes) {
    std::vector<std::string> rels;
    rels.reserve(nodes_.size());
    for (std::size_t i = 0; i < nodes_.size(); ++i) rels.emplace_back(nodes_.path(i));
    std::vector<fingerprint::FileOutcome> outcomes;
    if (fingerprint_paths(top_, rels, params, outcomes) < 0) return -1;
    if (outcomes.size() != nodes_.size()) {
        PyErr_SetString(PyExc_SystemError, "fingerprint pass lost files");
        return -1;
    }
    nodes_.prepare_fingerprints();
    bytes = 0;
    table::store_outcomes(nodes_, 0, outcomes, failures, bytes);
    return 0;
}

}  // namespace mavelin::passes
