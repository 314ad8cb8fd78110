// Pairing the nodes of a fresh walk with those of a stored table by path, for re-signing and for
// the metadata checks.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>

#include "engine/table/node_table.h"

namespace mavelin::metadata {

// Finds the node of `stored` with a given path: by position while the two tables list the same
// paths, through a path index (built on the first mismatch) otherwise.
class PathPairing {
  public:
    explicit PathPairing(const table::NodeTable& stored) : stored_(stored) {}
    // The index in `stored` of the node whose path is fresh.path(i), or stored.size() for none.
    std::size_t find(const table::NodeTable& fresh, std::size_t i);

  private:
    const table::NodeTable& stored_;
    std::unordered_map<std::string_view, std::size_t> index_;
};

inline std::size_t PathPairing::find(const table::NodeTable& fresh, std::size_t i) {
    const std::string_view p = fresh.path(i);
    if (index_.empty()) {
        if (i < stored_.size() && stored_.path(i) == p) return i;
        index_.reserve(stored_.size());
        for (std::size_t k = 0; k < stored_.size(); ++k) index_.emplace(stored_.path(k), k);
    }
    auto it = index_.find(p);
    return it == index_.end() ? stored_.size() : it->second;
}

}  // namespace mavelin::metadata
