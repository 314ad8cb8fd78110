// A fresh folder under /tmp for one test, removed with everything below it (any depth).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace mavelin::testing {

class TempDir {
  public:
    explicit TempDir(const char* tag = "test") {
        std::string tmpl = std::string("/tmp/mavelin-") + tag + "-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        // rm copes with trees deeper than any path length; mkdtemp names need no quoting.
        std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  private:
    std::string path_;
};

}  // namespace mavelin::testing
