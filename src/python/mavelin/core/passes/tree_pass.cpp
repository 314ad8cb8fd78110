// The route rule, and the walk and fingerprints of a procedure's tree into a compact node table.
#include "python/mavelin/core/passes/tree_pass.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <system_error>

#include "engine/certificate_format.h"
#include "engine/metadata/stat_pool.h"
#include "python/capi/import.h"
#include "python/capi/interruptible.h"
#include "python/capi/state.h"
#include "python/mavelin/core/passes/cluster_walk.h"
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

void TreePass::keep_stats(bool whole_walk_first) {
    keep_stats_ = true;
    whole_walk_first_ = whole_walk_first;
    stats_.chunk_size = certificate_format::kProcedureChunkSize;
    stats_.step = certificate_format::kProcedureStep;
    stats_.threads = std::min(pass_threads(), metadata::stat_threads());  // no more than -j asks
}

TreePass::~TreePass() {
    if (!walker_.joinable()) return;
    walk_cancel_.store(true);
    walker_.join();
}

int TreePass::start() {
    if (whole_walk_first_) {
        if (walker_.joinable()) return 0;
        // The settings belong to this thread: read here, not on the walk's thread.
        const fs::SkippedFiles* skipped = skipped_files();
        try {
            walker_ = std::thread([this, skipped]() noexcept {
                try {
                    nodes_ = table::scan_tree(top_, certificate_format::kProcedureStep,
                                              &walk_errors_, &walk_cancel_, &left_out_,
                                              &dangling_links_, skipped, &stats_);
                } catch (...) {
                    walk_failed_ = true;
                }
            });
        } catch (const std::system_error&) {  // no thread to be had: walk() walks
        }
        return 0;
    }
    if (streaming_ || progress_line_wanted() || on_cluster()) return 0;
    const fs::SkippedFiles* skipped = skipped_files();
    streaming_.emplace(top_, procedure_params(), pass_threads(),
                       skipped ? *skipped : fs::SkippedFiles{}, keep_stats_, pass_read_mode());
    if (keep_stats_) {
        streaming_->stats().chunk_size = stats_.chunk_size;
        streaming_->stats().step = stats_.step;
        streaming_->stats().threads = stats_.threads;
    }
    table::StreamingScan& scan = *streaming_;
    return py::run_interruptible_alloc([&scan] { scan.start(); }, scan.stop_flag());
}

int TreePass::join_walk() {
    if (py::run_interruptible([this]() noexcept { walker_.join(); }, walk_cancel_) < 0) return -1;
    if (walk_failed_) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

int TreePass::walk() {
    if (start() < 0) return -1;
    if (walker_.joinable()) return join_walk();
    if (streaming_) {
        table::StreamingScan& scan = *streaming_;
        return py::run_interruptible_alloc([&scan] { scan.wait_walk(); }, scan.stop_flag());
    }
    // The settings belong to this thread: read here, not on the walk's thread.
    const fs::SkippedFiles* skipped = skipped_files();
    if (on_cluster() && !keep_stats_ && !progress_line_wanted()) {
        // The workers walk too (the progress line needs the number of files first).
        SplicedWalk spliced;
        if (walk_on_cluster(pass_cluster(), top_, procedure_params(), cluster_task_threads(),
                            skipped, spliced) < 0)
            return -1;
        nodes_ = std::move(spliced.nodes);
        walk_errors_ = std::move(spliced.errors);
        left_out_ = std::move(spliced.left_out);
        dangling_links_ = std::move(spliced.dangling);
        spliced_failures_ = std::move(spliced.failures);
        large_ = std::move(spliced.large);
        spliced_bytes_ = spliced.bytes;
        spliced_ = true;
        return 0;
    }
    std::atomic<bool> cancel{false};
    return py::run_interruptible_alloc(
        [&] {
            nodes_ = table::scan_tree(top_, certificate_format::kProcedureStep, &walk_errors_,
                                      &cancel, &left_out_, &dangling_links_, skipped,
                                      keep_stats_ ? &stats_ : nullptr);
        },
        cancel);
}

int TreePass::fill(std::vector<table::FillFailure>& failures, std::uint64_t& bytes,
                   const std::vector<std::size_t>* only) {
    if (streaming_) {
        table::StreamingScan& scan = *streaming_;
        return py::run_interruptible_alloc([&] { failures = scan.wait_fill(&bytes); },
                                           scan.stop_flag());
    }
    const fingerprint::Params params = procedure_params();
    if (spliced_ && !only) {
        failures = std::move(spliced_failures_);
        bytes = spliced_bytes_;
        if (large_.empty()) return 0;
        std::vector<table::FillFailure> more;
        std::uint64_t more_bytes = 0;
        if (fill_on_cluster(params, more, more_bytes, &large_) < 0) return -1;
        std::vector<table::FillFailure> all;
        all.reserve(failures.size() + more.size());
        std::merge(std::make_move_iterator(failures.begin()),
                   std::make_move_iterator(failures.end()), std::make_move_iterator(more.begin()),
                   std::make_move_iterator(more.end()), std::back_inserter(all),
                   [](const table::FillFailure& a, const table::FillFailure& b) {
                       return a.index < b.index;
                   });
        failures = std::move(all);
        bytes += more_bytes;
        return 0;
    }
    if (on_cluster()) return fill_on_cluster(params, failures, bytes, only);
    const unsigned threads = pass_threads();
    const fs::ReadMode mode = pass_read_mode();
    auto rel = [this, only](std::size_t k) { return nodes_.path(only ? (*only)[k] : k); };
    auto hash = [&](const std::atomic<bool>& cancel, fingerprint::Progress* progress) {
        failures = table::fill_fingerprints(nodes_, top_, params, threads, &cancel, progress,
                                            &bytes, only, mode);
    };
    return run_local_pass(top_, only ? only->size() : nodes_.size(), rel, hash);
}

int TreePass::fill_on_cluster(const fingerprint::Params& params,
                              std::vector<table::FillFailure>& failures, std::uint64_t& bytes,
                              const std::vector<std::size_t>* only) {
    const std::size_t count = only ? only->size() : nodes_.size();
    auto node = [only](std::size_t k) { return only ? (*only)[k] : k; };
    std::vector<std::string> rels;
    rels.reserve(count);
    for (std::size_t k = 0; k < count; ++k) rels.emplace_back(nodes_.path(node(k)));
    std::vector<fingerprint::FileOutcome> outcomes;
    if (fingerprint_paths(top_, rels, params, outcomes) < 0) return -1;
    if (outcomes.size() != count) {
        PyErr_SetString(PyExc_SystemError, "fingerprint pass lost files");
        return -1;
    }
    nodes_.prepare_fingerprints();
    bytes = 0;
    table::store_outcomes(nodes_, 0, outcomes, failures, bytes, only);
    return 0;
}

}  // namespace mavelin::passes
