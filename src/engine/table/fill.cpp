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
                                           fingerprint::Progress* progress, std::uint64_t* bytes,
                                           const std::vector<std::size_t>* only,
                                           fs::ReadMode mode) {
    const std::size_t rows = params.step > 0 ? static_cast<std::size_t>(params.step) : 0;
    if (rows != table.rows()) throw std::invalid_argument("table rows differ from the step");
    table.prepare_fingerprints();
    std::vector<FillFailure> failures;
    std::vector<std::string> paths;
    std::uint64_t total = 0;
    const std::size_t count = only ? only->size() : table.size();
    for (std::size_t first = 0; first < count; first += kBatch) {
        const std::size_t end = std::min(count, first + kBatch);
        paths.clear();
        for (std::size_t k = first; k < end; ++k)
            paths.emplace_back(table.path(only ? (*only)[k] : k));
        std::vector<fingerprint::FileOutcome> outcomes =
            fingerprint::fingerprint_files(root, paths, params, threads, cancel, progress, mode);
        store_outcomes(table, first, outcomes, failures, total, only);
    }
    if (bytes) *bytes = total;
    return failures;
}

void store_outcomes(NodeTable& table, std::size_t first,
                    std::vector<fingerprint::FileOutcome>& outcomes,
                    std::vector<FillFailure>& failures, std::uint64_t& bytes,
                    const std::vector<std::size_t>* only) {
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        fingerprint::FileOutcome& o = outcomes[k];
        const std::size_t i = only ? (*only)[first + k] : first + k;
        if (o.error.code != 0) {
            table.clear_fingerprint(i);
            failures.push_back(FillFailure{i, std::move(o.error)});
        } else {
            table.set_fingerprint(i, o.rows.data());
            bytes += o.size;
        }
    }
}

}  // namespace mavelin::table
