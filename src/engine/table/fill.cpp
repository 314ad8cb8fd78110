// Fingerprints every node of a compact table with the parallel runner, into the table.
#include "engine/table/fill.h"

#include <algorithm>
#include <stdexcept>

namespace mavelin::table {

namespace {

// Nodes per runner call: enough that the threads' start and the batch's tail cost little.
constexpr std::size_t kBatch = std::size_t{1} << 16;

}  // namespace

std::vector<FillFailure> fill_fingerprints(NodeTable& table, const std::string& root,
                                           const fingerprint::Params& params, unsigned threads,
                                           const std::atomic<bool>* cancel,
                                           fingerprint::Progress* progress, std::uint64_t* bytes) {
    const std::size_t rows = params.step > 0 ? static_cast<std::size_t>(params.step) : 0;
    if (rows != table.rows()) throw std::invalid_argument("table rows differ from the step");
    table.prepare_fingerprints();
    std::vector<FillFailure> failures;
    std::vector<std::string> paths;
    std::uint64_t total = 0;
    for (std::size_t first = 0; first < table.size(); first += kBatch) {
        const std::size_t end = std::min(table.size(), first + kBatch);
        paths.clear();
        for (std::size_t i = first; i < end; ++i) paths.emplace_back(table.path(i));
        std::vector<fingerprint::FileOutcome> outcomes =
            fingerprint::fingerprint_files(root, paths, params, threads, cancel, progress);
        store_outcomes(table, first, outcomes, failures, total);
    }
    if (bytes) *bytes = total;
    return failures;
}

void store_outcomes(NodeTable& table, std::size_t first,
                    std::vector<fingerprint::FileOutcome>& outcomes,
                    std::vector<FillFailure>& failures, std::uint64_t& bytes) {
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        fingerprint::FileOutcome& o = outcomes[k];
        if (o.error.code != 0) {
            table.clear_fingerprint(first + k);
            failures.push_back(FillFailure{first + k, std::move(o.error)});
        } else {
            table.set_fingerprint(first + k, o.rows.data());
            bytes += o.size;
        }
    }
}

}  // namespace mavelin::table
