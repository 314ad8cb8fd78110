// The certificate payload of a compact node table: the host pickler's protocol-4 bytes of the
// table of FileNode records, written in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/pickle/writer.h"
#include "engine/table/node_table.h"

namespace mavelin::table {

// Receives consecutive pieces of the payload; returns false to stop the writing.
using PayloadSink = std::function<bool(std::string_view)>;

// Encodes nodes one by one into exactly the bytes the host's pickle.dumps(table, 4) gives for
// the dict {"node_id_<n>": FileNode}, n = 1, 2, 3 ... in table order (a scan's ids, so the key
// names the id whenever ids are sequential), whose records hold id, file_path (the path's text,
// see path_text.h) and, for nodes with a fingerprint, the list of its rows, each a list of one
// 64-character lowercase hex digest: every key, record, state dict, path, list and digest its
// own object, the class, its names and the attribute names shared. Only the shared objects go
// into the writer's memo table, so memory does not grow with the number of nodes.
class PayloadEncoder {
  public:
    // `nodes`: how many nodes will be added (the bytes depend on it only through 0, 1 or more).
    explicit PayloadEncoder(std::size_t nodes);
    // Throws std::bad_alloc, or std::length_error past the memo's 2**32 entries.
    void node(std::int64_t id, std::string_view raw_path, const Digest* fingerprint,
              std::size_t rows);
    void finish();
    // The stream so far; its settled part may be taken out while encoding goes on.
    pickle::PickleWriter& writer() noexcept { return w_; }

  private:
    // A record after the first, when the shared objects are in the memo and it fits the open
    // frame: its opcodes written in one piece. False (nothing written) otherwise.
    bool fast_node(std::int64_t id, std::string_view key, const Digest* fingerprint,
                   std::size_t rows);
    void save_shared_str(pickle::Identity id, std::string_view s);
    void put_fresh_str(std::string_view s);
    void put_fresh_list();

    pickle::PickleWriter w_;
    pickle::Batch nodes_;
    std::string key_, text_;
    std::string record_;  // fast_node's bytes
    // Memo indices of the class and the attribute names once memoized (they never change), -1
    // before.
    std::int64_t cls_ = -1, attr_id_ = -1, attr_path_ = -1, attr_fp_ = -1;
};

// Writes the payload of `table` to `sink` in pieces of about 1 MiB (the last one shorter),
// holding no more than about one piece at a time. Returns false when the sink stopped.
// Throws std::bad_alloc, or std::length_error past the memo's 2**32 entries.
bool write_payload(const NodeTable& table, const PayloadSink& sink);

// The payload's exact length (the whole payload is encoded and counted).
std::uint64_t payload_size(const NodeTable& table);

}  // namespace mavelin::table
