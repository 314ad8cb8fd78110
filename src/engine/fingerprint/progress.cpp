// Counters a fingerprint run publishes as it works, and the pass that measures the bytes to come.
#include "engine/fingerprint/progress.h"

#include <sys/stat.h>

#include "engine/fs/file_io.h"

namespace mavelin::fingerprint {

void measure(const std::string& root, const std::vector<std::string>& rel_paths, Progress& progress,
             const std::atomic<bool>& stop) noexcept {
    std::string path;
    for (const std::string& rel : rel_paths) {
        if (stop.load(std::memory_order_relaxed)) return;
        try {
            path = fs::posix_join(root, rel);
        } catch (...) {
            continue;  // out of memory: this size stays unknown
        }
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
            progress.bytes_total.fetch_add(static_cast<uint64_t>(st.st_size),
                                           std::memory_order_relaxed);
    }
    progress.measured.store(true);
}

}  // namespace mavelin::fingerprint
