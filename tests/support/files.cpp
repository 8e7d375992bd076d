// Files for the tests: reads, golden files, hexadecimal text and scratch directories.
#include "support/files.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace testing_support {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string goldenFile(const std::string& name) {
    const std::string text = readFile(std::filesystem::path(TEST_DATA_DIR) / name);
    if (text.empty()) throw std::runtime_error("missing golden file " TEST_DATA_DIR "/" + name);
    return text;
}

std::string fromHex(const std::string& text) {
    std::istringstream lines(text);
    std::string bytes, line, word;
    while (std::getline(lines, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        while (words >> word) {
            if (word.size() != 2 || !std::isxdigit(word[0]) || !std::isxdigit(word[1]))
                throw std::invalid_argument("not a hexadecimal byte: " + word);
            bytes.push_back(static_cast<char>(std::stoi(word, nullptr, 16)));
        }
    }
    return bytes;
}

std::string procStatusField(pid_t pid, const std::string& field) {
    std::istringstream status(
        readFile("/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) != 0) continue;
        const auto value = line.find_first_not_of(" \t", field.size() + 1);
        return value == std::string::npos ? "" : line.substr(value);
    }
    return "";
}

namespace {

std::filesystem::path newScratchDir() {
    std::string path = (std::filesystem::temp_directory_path() / "compact_test_XXXXXX").string();
    if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + path);
    return path;
}

}  // namespace

ScratchDir::ScratchDir() : path(newScratchDir()) {}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

}  // namespace testing_support
