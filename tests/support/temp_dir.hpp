// SPDX-License-Identifier: MIT
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace tarn::utils::test {

// A fresh directory under /tmp, removed with everything in it on
// destruction.
class TempDir {
public:
    TempDir() {
        char path[] = "/tmp/tarn-test-XXXXXX";
        if (::mkdtemp(path) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = path;
    }

    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole content of a file; "" when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How many of this process's descriptors are open on the file at `path`.
inline std::size_t descriptorsOpenOn(const std::string& path) {
    std::error_code error;
    const auto target = std::filesystem::canonical(path, error);
    if (error) return 0;
    std::size_t open = 0;
    for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry->path(), ignored) == target) ++open;
    }
    return open;
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace tarn::utils::test
