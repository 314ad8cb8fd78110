// Row reduction of a file's chunk digests: T interleaved rows of hex digests, each row digested.
#include <algorithm>
#include <cstring>

#include "engine/fingerprint/fingerprint.h"
#include "engine/hash/sha256_impl.h"

namespace mavelin::fingerprint {
namespace {

namespace sd = hash::sha256::detail;

// Hex blocks handled per step; also the widest group of rows finished at once.
constexpr size_t kRowWindow = 256;

// Padding block of a row with `members` hex digests, scheduled for the round functions.
void row_padding(uint64_t members, uint32_t* wk) {
    uint8_t block[128];
    sd::pad_tail(nullptr, 0, members * 64, block);
    sd::schedule_block(block, wk);
}

}  // namespace

RowReducer::RowReducer(int64_t step) : step_(step) {}

void RowReducer::add(const hash::sha256::Digest* chunk_digests, size_t n) {
    if (step_ <= 0) {
        added_ += n;
        return;
    }
    const sd::Backend& be = sd::backend();
    const auto step = static_cast<uint64_t>(step_);
    alignas(64) char hex[kRowWindow][64];
    const uint8_t* data[kRowWindow];
    uint32_t* states[kRowWindow];

    size_t i = 0;
    while (i < n) {
        const uint64_t row = added_ % step;
        if (row == 0 && step <= kRowWindow && n - i >= step) {
            // Whole passes over all rows: each row takes k consecutive blocks, rows side by side.
            const size_t t = static_cast<size_t>(step);
            const size_t k = std::min((n - i) / t, kRowWindow / t);
            if (states_.size() < 8 * t) states_.resize(8 * t);
            if (added_ == 0) {
                for (size_t r = 0; r < t; ++r) std::memcpy(&states_[8 * r], sd::kInit, 32);
            }
            for (size_t p = 0; p < k; ++p) {
                for (size_t r = 0; r < t; ++r)
                    hash::sha256::to_hex(chunk_digests[i + p * t + r], hex[r * k + p]);
            }
            for (size_t r = 0; r < t; ++r) {
                data[r] = reinterpret_cast<const uint8_t*>(hex[r * k]);
                states[r] = &states_[8 * r];
            }
            sd::compress_lanes(be, states, data, k, t);
            i += k * t;
            added_ += k * t;
        } else {
            // Part of one pass: consecutive rows, one block each.
            const size_t m = static_cast<size_t>(
                std::min<uint64_t>({n - i, step - row, static_cast<uint64_t>(kRowWindow)}));
            if (added_ < step) {  // first pass: these rows get their first member now
                states_.resize(8 * (row + m));
                for (size_t r = 0; r < m; ++r) std::memcpy(&states_[8 * (row + r)], sd::kInit, 32);
            }
            for (size_t r = 0; r < m; ++r) {
                hash::sha256::to_hex(chunk_digests[i + r], hex[r]);
                data[r] = reinterpret_cast<const uint8_t*>(hex[r]);
                states[r] = &states_[8 * (row + r)];
            }
            sd::compress_lanes(be, states, data, 1, m);
            i += m;
            added_ += m;
        }
    }
}

std::vector<hash::sha256::Digest> RowReducer::finish() {
    std::vector<hash::sha256::Digest> rows;
    if (step_ <= 0) return rows;
    const auto step = static_cast<uint64_t>(step_);
    rows.assign(static_cast<size_t>(step), sd::empty_digest());
    const uint64_t used = std::min(added_, step);  // rows with at least one member
    if (used == 0) return rows;

    // Rows below `longer` hold q + 1 members, the other used rows q.
    const uint64_t q = added_ / step;
    const uint64_t longer = added_ % step;
    const sd::Backend& be = sd::backend();
    std::vector<uint32_t> work(states_.begin(), states_.begin() + static_cast<ptrdiff_t>(8 * used));
    alignas(16) uint32_t wk[64];
    uint32_t* states[kRowWindow];
    for (uint64_t begin = 0; begin < used;) {
        const uint64_t members = begin < longer ? q + 1 : q;
        const uint64_t end = std::min({begin < longer ? longer : used, used, begin + kRowWindow});
        row_padding(members, wk);
        for (uint64_t r = begin; r < end; ++r) states[r - begin] = &work[8 * r];
        sd::compress_scheduled(be, states, wk, static_cast<size_t>(end - begin));
        for (uint64_t r = begin; r < end; ++r) rows[r] = sd::state_to_digest(&work[8 * r]);
        begin = end;
    }
    return rows;
}

}  // namespace mavelin::fingerprint
