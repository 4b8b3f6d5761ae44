#pragma once
// Every test starts on an empty settings store of its own, with scripted message boxes,
// and reads and writes the settings key (or its sub-key sub) behind the settings object's back.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/ScopedConfigDir.h"

namespace vellicor::test {

class SettingsTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetShowHintHook(nullptr);
        SetApplicationShowHint(true);
    }
    static TRegistry& Open(TRegistry& reg, const std::string& sub = "", bool create = false) {
        reg.OpenKey(std::string(TConfigureForm::kSettingsKey) + (sub.empty() ? "" : "\\" + sub), create);
        return reg;
    }
    static std::optional<int32_t> StoredInt(const std::string& name, const std::string& sub = "") {
        TRegistry r;
        return Open(r, sub).ReadInteger(name);
    }
    static std::optional<std::string> StoredString(const std::string& name, const std::string& sub = "") {
        TRegistry r;
        return Open(r, sub).ReadString(name);
    }
    static void StoreInt(const std::string& name, int32_t v, const std::string& sub = "") {
        TRegistry r;
        ASSERT_TRUE(Open(r, sub, true).WriteInteger(name, v));
    }
    static void StoreString(const std::string& name, const std::string& v, const std::string& sub = "") {
        TRegistry r;
        ASSERT_TRUE(Open(r, sub, true).WriteString(name, v));
    }
    static void Forget(const std::string& name) {
        TRegistry r;
        Open(r).DeleteValue(name);
    }
    static std::vector<std::string> ValueNames(const std::string& sub = "") {
        TRegistry r;
        return Open(r, sub).GetValueNames();
    }

    ScopedConfigDir cfg_;
    FakeUi ui_;
};

}  // namespace vellicor::test
