#pragma once
// A fresh directory under the build tree's temporary area, removed afterwards.
#include <string>

namespace vellicor::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes bytes to a file in the directory and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

std::string ReadFileBytes(const std::string& path);

}  // namespace vellicor::test
