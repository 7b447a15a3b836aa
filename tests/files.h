// Files for tests of every kind: a temporary folder that goes away with the
// test, and whole-file reads and writes.
#pragma once

#include <string>
#include <string_view>

namespace vqtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away. A test fails at once if it cannot be made.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path()/name
    std::string file(std::string_view name) const;
    // Writes `content` to path()/name and returns that path; a failed write
    // fails the test.
    std::string write(std::string_view name, std::string_view content) const;

private:
    std::string path_;
};

// Writes `content` to `path`, replacing the file. Returns false on failure.
bool write_file(const std::string& path, std::string_view content);
// The bytes of the file at `path`; empty if it cannot be read.
std::string read_file(const std::string& path);
// True if something (even a dangling symlink) exists at `path`.
bool path_exists(const std::string& path);

}  // namespace vqtest
