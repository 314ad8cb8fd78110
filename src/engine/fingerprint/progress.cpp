// Counters a fingerprint run publishes as it works, and the pass that measures the bytes to come.
#include "engine/fingerprint/progress.h"

#include <sys/stat.h>

#include "engine/fs/file_io.h"

namespace mavelin::fingerprint {

void measure(const std::string& root, const std::vector<std::string>& rel_paths, Progress& progress,
             const std::atomic<bool>& stop) noexcept {
    measure(
        root, rel_paths.size(),
        [&rel_paths](std::size_t i) -> std::string_view { return rel_paths[i]; }, progress, stop);
}

void measure(const std::string& root, std::size_t count,
             const std::function<std::string_view(std::size_t)>& rel, Progress& progress,
             const std::atomic<bool>& stop) noexcept {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) {
        if (stop.load(std::memory_order_relaxed)) return;
        try {
            path = fs::posix_join(root, rel(i));
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
