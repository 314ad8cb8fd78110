// Helpers for the ZIP engine tests: scratch folders, whole-file I/O and the host Python oracle.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace mavelin::ziptest {

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it.
class ScratchDir {
  public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/mavelin-zip-XXXXXX";
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~ScratchDir() {
        if (path_.empty()) return;
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    bool ok() const { return !path_.empty(); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    // Names in the folder, sorted.
    std::vector<std::string> list() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::string path_;
};

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

inline bool write_file(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

inline bool set_mtime(const std::string& path, int64_t sec, int64_t nsec) {
    struct timespec ts[2];
    ts[0].tv_sec = sec;
    ts[0].tv_nsec = nsec;
    ts[1] = ts[0];
    return ::utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

inline std::string hex(const std::vector<uint8_t>& data) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (const uint8_t b : data) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

inline std::vector<uint8_t> unhex(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (const char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q.push_back(c);
        }
    }
    return q + "'";
}

// Runs a shell command; returns its exit status (-1 when it could not run) and its output.
inline int run(const std::string& cmd, std::string* output) {
    output->clear();
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) output->append(buf, n);
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

struct HostPython {
    std::string command;  // shell words that start the interpreter
    std::string version;  // "3.10", "3.11"
};

// The host interpreters available for reference output, one per version. The candidates come
// from $MAVELIN_TEST_PYTHONS (colon-separated) or a default list.
inline const std::vector<HostPython>& host_pythons() {
    static const std::vector<HostPython> found = [] {
        std::vector<std::string> candidates;
        if (const char* env = std::getenv("MAVELIN_TEST_PYTHONS"); env && *env) {
            std::string all = env;
            size_t start = 0;
            while (start <= all.size()) {
                size_t end = all.find(':', start);
                if (end == std::string::npos) end = all.size();
                if (end > start) candidates.push_back(all.substr(start, end - start));
                start = end + 1;
            }
        } else {
            candidates = {"/root/.pyenv/versions/3.10.13/bin/python3",
                          "/root/.pyenv/versions/3.11.7/bin/python3", "python3.10", "python3.11",
                          "python3"};
        }
        std::vector<HostPython> pythons;
        std::map<std::string, bool> seen;
        for (const auto& c : candidates) {
            std::string out;
            const std::string probe =
                shell_quote(c) +
                " -c 'import sys, zipfile; print(\"%d.%d\" % sys.version_info[:2])' 2>/dev/null";
            if (run(probe, &out) != 0 || out.empty()) continue;
            const std::string version = out.substr(0, out.find('\n'));
            if (version != "3.10" && version != "3.11") continue;
            if (seen[version]) continue;
            seen[version] = true;
            pythons.push_back({shell_quote(c), version});
        }
        return pythons;
    }();
    return found;
}

inline std::string oracle_script() {
    return std::string(MAVELIN_TEST_DATA) + "/zip_oracle.py";
}

// Runs the oracle script with arguments (already quoted); returns its output, or sets *ok false.
inline std::string oracle(const HostPython& py, const std::string& args, bool* ok) {
    std::string out;
    *ok = run(py.command + " " + shell_quote(oracle_script()) + " " + args, &out) == 0;
    return out;
}

}  // namespace mavelin::ziptest
