// The walk's stat records taken by helper threads, folder by folder, while the walk goes on.
#include "engine/metadata/stat_pool.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace mavelin::metadata {
namespace {

constexpr std::size_t kJobEntries = 1024;  // entries per job, at most
constexpr std::size_t kMaxJobs = 64;       // jobs waiting, at most

}  // namespace

StatPool::StatPool(unsigned threads) {
    try {
        for (unsigned i = 0; i < std::max(threads, 1u); ++i)
            threads_.emplace_back(&StatPool::work, this);
    } catch (...) {
        finish();
        throw;
    }
}

StatPool::~StatPool() {
    try {
        finish();
    } catch (...) {  // the caller did not wait: nothing to hand over
    }
}

void StatPool::add(int dirfd, std::size_t folder, std::string name, std::size_t node,
                   Record* slot) {
    if (folder != job_folder_ || job_.names.size() >= kJobEntries) {
        hand_on();
        const int copy = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) throw std::system_error(errno, std::generic_category());
        job_.dir.reset(copy);
        job_folder_ = folder;
    }
    job_.names.push_back(std::move(name));
    job_.slots.emplace_back(node, slot);
}

void StatPool::hand_on() {
    if (job_.names.empty()) return;
    {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [&] { return queue_.size() < kMaxJobs || failure_; });
        queue_.push_back(std::move(job_));
    }
    changed_.notify_all();
    job_ = Job{};
    job_folder_ = 0;
}

void StatPool::work() noexcept {
    std::vector<Link> found;
    try {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                changed_.wait(hold, [&] { return !queue_.empty() || done_; });
                if (queue_.empty()) break;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            changed_.notify_all();
            std::string target;
            for (std::size_t k = 0; k < job.names.size(); ++k) {
                target.clear();
                *job.slots[k].second = stat_entry(job.dir.get(), job.names[k].c_str(), target);
                if (job.slots[k].second->flags & kIsLink)
                    found.push_back({job.slots[k].first, std::string(), target});
            }
        }
    } catch (...) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!failure_) failure_ = std::current_exception();
        queue_.clear();
    }
    std::lock_guard<std::mutex> hold(mutex_);
    try {
        links_.insert(links_.end(), std::make_move_iterator(found.begin()),
                      std::make_move_iterator(found.end()));
    } catch (...) {
        if (!failure_) failure_ = std::current_exception();
    }
}

std::vector<Link> StatPool::finish() {
    if (!threads_.empty()) {
        hand_on();
        {
            std::lock_guard<std::mutex> hold(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads_) t.join();
        threads_.clear();
    }
    if (failure_) std::rethrow_exception(failure_);
    std::sort(links_.begin(), links_.end(),
              [](const Link& a, const Link& b) { return a.node < b.node; });
    return std::move(links_);
}

unsigned stat_threads() noexcept {
    return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

void merge_links(std::vector<Link> node_links, std::vector<std::pair<std::size_t, Link>>& loose,
                 std::vector<Link>& out) {
    out.reserve(node_links.size() + loose.size());
    std::size_t i = 0, j = 0;
    while (i < node_links.size() || j < loose.size()) {
        if (j < loose.size() && (i == node_links.size() || loose[j].first <= node_links[i].node))
            out.push_back(std::move(loose[j++].second));
        else
            out.push_back(std::move(node_links[i++]));
    }
}

}  // namespace mavelin::metadata
