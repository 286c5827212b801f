#pragma once
// A private temporary folder per test, and small file helpers around it.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "format/bytes.hpp"

namespace vt6::test {

// A private folder for a test's files, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "zem_test_XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string write(const std::string& name, fmt::ByteView bytes) const {
        const std::string p = (path_ / name).string();
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) ADD_FAILURE() << "cannot write " << p;
        return p;
    }
    std::string path(const std::string& name) const { return (path_ / name).string(); }

    // Whether anything (even a dangling link) is at the path.
    static bool exists(const std::string& p) {
        std::error_code ec;
        return std::filesystem::symlink_status(p, ec).type() != std::filesystem::file_type::not_found;
    }
    static fmt::Bytes contents(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    const std::filesystem::path& root() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace vt6::test
