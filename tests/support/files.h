// Files for the tests: whole-file reads (also of /proc), the golden files in tests/data, and
// scratch directories that are removed again.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace testing_support {

// The whole file; "" when it does not exist or cannot be read.
std::string readFile(const std::filesystem::path& path);

// The golden file tests/data/`name`. Throws std::runtime_error when it is missing or empty.
std::string goldenFile(const std::string& name);

// Bytes from hexadecimal text: pairs of digits, blanks between bytes, '#' to the end of a line is
// a comment. Throws std::invalid_argument for anything else.
std::string fromHex(const std::string& text);

// The value after "<field>:" in /proc/<pid>/status (pid 0: this process), without the blanks
// before it; "" when the process or the field does not exist.
std::string procStatusField(pid_t pid, const std::string& field);

// A new empty directory of its own under the system's temporary directory, removed with
// everything in it by the destructor.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::filesystem::path operator/(const std::string& name) const { return path / name; }
    const std::filesystem::path path;
};

}  // namespace testing_support
