#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "lbc-test-XXXXXX").string();
    if (mkdtemp(&templ[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    // In one spelling, as the library names the folders it resolves below it.
    root = std::filesystem::canonical(templ).string();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}
