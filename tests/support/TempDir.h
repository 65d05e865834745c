#pragma once
// A fresh folder under the system temporary folder, removed with its contents.

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return root; }
    // root + "/" + relative
    std::string sub(const std::string& relative) const { return root + "/" + relative; }

private:
    std::string root;
};

// Whole-file helpers for assertions.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
