// Pairing the certificate's node table with a fresh one by node path: the findings of a validation.
#include "engine/compare/node_join.h"

#include <unordered_map>

namespace mavelin::compare {

void NodeTable::reserve(size_t rows, size_t path_bytes, size_t digest_bytes) {
    paths_.reserve(path_bytes);
    path_ends_.reserve(rows);
    digests_.reserve(digest_bytes);
    digest_ends_.reserve(rows);
    flags_.reserve(rows);
}

void NodeTable::add(std::string_view path, std::string_view digests, uint8_t flags) {
    paths_.append(path);
    path_ends_.push_back(paths_.size());
    digests_.append(digests);
    digest_ends_.push_back(digests_.size());
    flags_.push_back(flags);
}

std::string_view NodeTable::path(size_t i) const {
    const size_t begin = i == 0 ? 0 : path_ends_[i - 1];
    return std::string_view(paths_).substr(begin, path_ends_[i] - begin);
}

std::string_view NodeTable::digests(size_t i) const {
    const size_t begin = i == 0 ? 0 : digest_ends_[i - 1];
    return std::string_view(digests_).substr(begin, digest_ends_[i] - begin);
}

namespace {

// Unpaired rows of both sides grouped by fingerprint: how many of each side hold it and the first.
struct Holders {
    size_t certificate_count = 0;
    size_t certificate_row = kNoRow;
    size_t fresh_count = 0;
    size_t fresh_row = kNoRow;
};

}  // namespace

Comparison join_by_path(const NodeTable& certificate, const NodeTable& fresh) {
    // Certificate rows by path; rows sharing a path are chained in table order.
    std::unordered_map<std::string_view, size_t> first_with_path;
    first_with_path.reserve(certificate.size());
    std::vector<size_t> next_with_path(certificate.size(), kNoRow);
    std::vector<size_t> last_with_path(certificate.size(), kNoRow);
    for (size_t i = 0; i < certificate.size(); ++i) {
        auto [it, inserted] = first_with_path.try_emplace(certificate.path(i), i);
        if (inserted) {
            last_with_path[i] = i;
        } else {
            next_with_path[last_with_path[it->second]] = i;
            last_with_path[it->second] = i;
        }
    }

    // The certificate row each fresh row meets, and which certificate rows were met.
    std::vector<size_t> partner(fresh.size(), kNoRow);
    std::vector<bool> certificate_paired(certificate.size(), false);
    for (size_t j = 0; j < fresh.size(); ++j) {
        auto it = first_with_path.find(fresh.path(j));
        if (it == first_with_path.end() || it->second == kNoRow) continue;
        const size_t i = it->second;
        partner[j] = i;
        certificate_paired[i] = true;
        it->second = next_with_path[i];
    }

    // Moves: fingerprints shared by exactly one unpaired row of each side.
    std::unordered_map<std::string_view, Holders> by_fingerprint;
    for (size_t i = 0; i < certificate.size(); ++i) {
        if (certificate_paired[i] || !certificate.comparable(i)) continue;
        Holders& h = by_fingerprint[certificate.digests(i)];
        if (h.certificate_count++ == 0) h.certificate_row = i;
    }
    std::vector<size_t> moved_from(fresh.size(), kNoRow);
    std::vector<bool> certificate_moved(certificate.size(), false);
    if (!by_fingerprint.empty()) {
        for (size_t j = 0; j < fresh.size(); ++j) {
            if (partner[j] != kNoRow || !fresh.comparable(j)) continue;
            auto it = by_fingerprint.find(fresh.digests(j));
            if (it == by_fingerprint.end()) continue;
            if (it->second.fresh_count++ == 0) it->second.fresh_row = j;
        }
        for (const auto& [digests, h] : by_fingerprint) {
            if (h.certificate_count != 1 || h.fresh_count != 1) continue;
            moved_from[h.fresh_row] = h.certificate_row;
            certificate_moved[h.certificate_row] = true;
        }
    }

    Comparison out;
    for (size_t j = 0; j < fresh.size(); ++j) {
        const size_t i = partner[j];
        if (i == kNoRow) {
            if (moved_from[j] != kNoRow)
                out.findings.push_back({Kind::kMoved, j, moved_from[j]});
            else
                out.findings.push_back({Kind::kNew, j, kNoRow});
            ++out.failed_files;
            continue;
        }
        bool failed = false;
        if (certificate.flags(i) & kIdMismatch) {
            out.findings.push_back({Kind::kNotAuthentic, j, i});
            failed = true;
        }
        if (fresh.flags(j) & (kUnreadable | kNoFingerprint)) {
            out.findings.push_back({Kind::kUnreadable, j, i});
            failed = true;
        } else if (certificate.flags(i) & kNoFingerprint) {
            out.findings.push_back({Kind::kUnsigned, j, i});
            failed = true;
        } else if (!certificate.comparable(i) || !fresh.comparable(j) ||
                   certificate.digests(i) != fresh.digests(j)) {
            out.findings.push_back({Kind::kModified, j, i});
            failed = true;
        }
        if (failed) ++out.failed_files;
    }
    for (size_t i = 0; i < certificate.size(); ++i) {
        if (certificate_paired[i] || certificate_moved[i]) continue;
        out.findings.push_back({Kind::kMissing, kNoRow, i});
        ++out.failed_files;
    }
    return out;
}

}  // namespace mavelin::compare
