// The walk and the fingerprints of a procedure's tree on this machine, into a compact node table.
#include "python/mavelin/core/passes/tree_pass.h"

#include <atomic>

#include "engine/certificate_format.h"
#include "python/capi/interruptible.h"
#include "python/mavelin/core/file_managing.h"

namespace mavelin::file_managing {
namespace {

fingerprint::Params procedure_params() {
    return {certificate_format::kProcedureChunkSize, certificate_format::kProcedureStep};
}

}  // namespace

int TreePass::start() {
    if (streaming_ || progress_line_wanted()) return 0;
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
    return py::run_interruptible_alloc(
        [&] {
            nodes_ = table::scan_tree(top_, certificate_format::kProcedureStep, &walk_errors_,
                                      &cancel, &left_out_, &dangling_links_, skipped_files());
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
    const unsigned threads = pass_threads();
    auto rel = [this](std::size_t i) { return nodes_.path(i); };
    auto hash = [&](const std::atomic<bool>& cancel, fingerprint::Progress* progress) {
        failures =
            table::fill_fingerprints(nodes_, top_, params, threads, &cancel, progress, &bytes);
    };
    return run_local_pass(top_, nodes_.size(), rel, hash);
}

}  // namespace mavelin::file_managing
