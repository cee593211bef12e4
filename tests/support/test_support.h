// Helpers shared by the unit tests: a private temporary folder and capture of std::cout.
#pragma once

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

namespace test_support {

// A fresh empty folder that is removed with everything in it when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return root; }
    std::filesystem::path operator/(const std::filesystem::path& child) const {
        return root / child;
    }

    // Writes a file below the folder (creating parent folders) and returns its full path.
    std::filesystem::path write(const std::filesystem::path& relative,
                                const std::string& content) const;

  private:
    std::filesystem::path root;
};

std::string read_file(const std::filesystem::path& path);

// Redirects std::cout into a string for the lifetime of the object.
class CoutCapture {
  public:
    CoutCapture() : saved(std::cout.rdbuf(buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(saved); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;

    std::string text() const { return buffer.str(); }

  private:
    std::ostringstream buffer;
    std::streambuf* saved;
};

}  // namespace test_support
