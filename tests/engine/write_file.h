// Test helper: a file written whole with the given bytes (created or truncated).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "engine/fs/file_io.h"

namespace mavelin::testing {

inline void write_file(const std::string& p, const std::string& data, mode_t mode = 0644) {
    mavelin::fs::UniqueFd fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    ASSERT_TRUE(fd) << p;
    ASSERT_EQ(::write(fd.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

}  // namespace mavelin::testing
