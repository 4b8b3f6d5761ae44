#pragma once
// Points the settings store at a fresh directory for the life of the object, then back.
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Registry.h"
#include "support/TempDir.h"

namespace vellicor::test {

class ScopedConfigDir {
public:
    ScopedConfigDir() {
        if (const char* old = std::getenv("VELLICOR_CONFIG_DIR")) saved_ = old;
        Use(dir_.Path());
    }
    ~ScopedConfigDir() {
        if (saved_)
            ::setenv("VELLICOR_CONFIG_DIR", saved_->c_str(), 1);
        else
            ::unsetenv("VELLICOR_CONFIG_DIR");
        ResetRegistryStore();
    }
    ScopedConfigDir(const ScopedConfigDir&) = delete;
    ScopedConfigDir& operator=(const ScopedConfigDir&) = delete;
    // Moves the store to path, read afresh as a new process would.
    static void Use(const std::string& path) {
        ::setenv("VELLICOR_CONFIG_DIR", path.c_str(), 1);
        ResetRegistryStore();
    }
    const TempDir& Dir() const { return dir_; }

private:
    TempDir dir_;
    std::optional<std::string> saved_;
};

}  // namespace vellicor::test
