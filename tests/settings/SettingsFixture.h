#pragma once
// Every test starts on an empty settings store in a directory of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace vellicor::test {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("VELLICOR_CONFIG_DIR")) oldDir_ = old;
        ::setenv("VELLICOR_CONFIG_DIR", dir_.Path().c_str(), 1);
        ResetRegistryStore();
        SetShowHintHook(nullptr);
        SetApplicationShowHint(true);
    }
    void TearDown() override {
        if (oldDir_)
            ::setenv("VELLICOR_CONFIG_DIR", oldDir_->c_str(), 1);
        else
            ::unsetenv("VELLICOR_CONFIG_DIR");
        ResetRegistryStore();
        SetShowHintHook(nullptr);
        SetApplicationShowHint(true);
    }

    // True when the store keeps its values in the file across a reload (not the in-memory
    // stand-in). Call first in a test: it switches directories and back.
    bool StorePersists() {
        bool persists = false;
        {
            TempDir probe;
            ::setenv("VELLICOR_CONFIG_DIR", probe.Path().c_str(), 1);
            ResetRegistryStore();
            StoreInt("Probe", 1);
            ResetRegistryStore();
            persists = StoredInt("Probe") == 1;
        }
        ::setenv("VELLICOR_CONFIG_DIR", dir_.Path().c_str(), 1);
        ResetRegistryStore();
        return persists;
    }

    // Direct access to the settings key, bypassing the settings object.
    static std::optional<int32_t> StoredInt(const std::string& name, const std::string& sub = "") {
        TRegistry reg;
        if (!reg.OpenKey(Key(sub), false)) return std::nullopt;
        return reg.ReadInteger(name);
    }
    static std::optional<std::string> StoredString(const std::string& name, const std::string& sub = "") {
        TRegistry reg;
        if (!reg.OpenKey(Key(sub), false)) return std::nullopt;
        return reg.ReadString(name);
    }
    static void StoreInt(const std::string& name, int32_t v, const std::string& sub = "") {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(Key(sub), true));
        ASSERT_TRUE(reg.WriteInteger(name, v));
    }
    static void StoreString(const std::string& name, const std::string& v, const std::string& sub = "") {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(Key(sub), true));
        ASSERT_TRUE(reg.WriteString(name, v));
    }
    static std::vector<std::string> ValueNames(const std::string& sub = "") {
        TRegistry reg;
        if (!reg.OpenKey(Key(sub), false)) return {};
        return reg.GetValueNames();
    }
    static std::string Key(const std::string& sub) {
        return sub.empty() ? std::string(TConfigureForm::kSettingsKey) : std::string(TConfigureForm::kSettingsKey) + "\\" + sub;
    }

    FakeUi ui_;
    TempDir dir_;

private:
    std::optional<std::string> oldDir_;
};

}  // namespace vellicor::test
