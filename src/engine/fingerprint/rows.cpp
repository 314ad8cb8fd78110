// Row reduction of a file's chunk digests: T interleaved rows of hex digests, each row digested.
#include <algorithm>

#include "engine/fingerprint/fingerprint.h"

namespace mavelin::fingerprint {
namespace {

namespace sha = hash::sha256;

// Hex blocks handled per step; also the widest group of rows finished at once.
constexpr size_t kRowWindow = 256;

// A hex digest (64 characters) is exactly one block of its row's message.
static_assert(sha::kBlockSize == 64);

}  // namespace

RowReducer::RowReducer(int64_t step) : step_(step) {}

void RowReducer::add(const hash::sha256::Digest* chunk_digests, size_t n) {
    if (step_ <= 0) {
        added_ += n;
        return;
    }
    const auto step = static_cast<uint64_t>(step_);
    alignas(64) char hex[kRowWindow][64];
    const uint8_t* data[kRowWindow];
    sha::BlockState* states[kRowWindow];

    size_t i = 0;
    while (i < n) {
        const uint64_t row = added_ % step;
        if (row == 0 && step <= kRowWindow && n - i >= step) {
            // Whole passes over all rows: each row takes k consecutive blocks, rows side by side.
            const size_t t = static_cast<size_t>(step);
            const size_t k = std::min((n - i) / t, kRowWindow / t);
            if (states_.size() < t) states_.resize(t);
            if (added_ == 0) {
                for (size_t r = 0; r < t; ++r) states_[r] = sha::initial_state();
            }
            for (size_t p = 0; p < k; ++p) {
                for (size_t r = 0; r < t; ++r)
                    hash::sha256::to_hex(chunk_digests[i + p * t + r], hex[r * k + p]);
            }
            for (size_t r = 0; r < t; ++r) {
                data[r] = reinterpret_cast<const uint8_t*>(hex[r * k]);
                states[r] = &states_[r];
            }
            sha::absorb_blocks(states, data, k, t);
            i += k * t;
            added_ += k * t;
        } else {
            // Part of one pass: consecutive rows, one block each.
            const size_t m = static_cast<size_t>(
                std::min<uint64_t>({n - i, step - row, static_cast<uint64_t>(kRowWindow)}));
            if (added_ < step) {  // first pass: these rows get their first member now
                states_.resize(row + m);
                for (size_t r = 0; r < m; ++r) states_[row + r] = sha::initial_state();
            }
            for (size_t r = 0; r < m; ++r) {
                hash::sha256::to_hex(chunk_digests[i + r], hex[r]);
                data[r] = reinterpret_cast<const uint8_t*>(hex[r]);
                states[r] = &states_[row + r];
            }
            sha::absorb_blocks(states, data, 1, m);
            i += m;
            added_ += m;
        }
    }
}

std::vector<hash::sha256::Digest> RowReducer::finish() {
    std::vector<hash::sha256::Digest> rows;
    if (step_ <= 0) return rows;
    const auto step = static_cast<uint64_t>(step_);
    rows.assign(static_cast<size_t>(step), sha::empty_digest());
    const uint64_t used = std::min(added_, step);  // rows with at least one member
    if (used == 0) return rows;

    // Rows below `longer` hold q + 1 members, the other used rows q.
    const uint64_t q = added_ / step;
    const uint64_t longer = added_ % step;
    const sha::BlockState* states[kRowWindow];
    for (uint64_t begin = 0; begin < used;) {
        const uint64_t members = begin < longer ? q + 1 : q;
        const uint64_t end = std::min({begin < longer ? longer : used, used, begin + kRowWindow});
        for (uint64_t r = begin; r < end; ++r) states[r - begin] = &states_[r];
        sha::finish_blocks(states, members * sha::kBlockSize, static_cast<size_t>(end - begin),
                           &rows[begin]);
        begin = end;
    }
    return rows;
}

}  // namespace mavelin::fingerprint
