#pragma once
// The loader over the program's own archive source, with read-ahead on and the libraries
// built next to the tests: the set-up shared by the tests that open books through the loader.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archives/UnArchiveSource.h"
#include "pages/LoadFiles.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "platform/DynLib.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace vellicor::test {

class LoaderFixture : public ::testing::Test {
protected:
    LoaderFixture() : loader(&owner) {
        settings.FileBufferSize = 6;
        SetPageSettings(&settings);
        SetModuleSearchDir(VELLICOR_MODULE_DIR);
        loader.SetArchiveSource(std::make_unique<TUnArchiveSource>(&owner));
    }
    ~LoaderFixture() override {
        SetModuleSearchDir("");
        SetPageSettings(nullptr);
    }
    void Load(const std::vector<std::string>& files) {
        TStringList names;
        for (const auto& f : files) names.Add(f);
        loader.LoadFiles(names, 0);
    }
    // The page's bytes as the loader serves them; "<null>" for no stream (the error page).
    std::string Serve(int page) {
        std::string got = "<none>";
        loader.OnStreamReady = [&](void*, TStream* s, const std::string&) {
            got = "<null>";
            if (!s) return;
            got.assign(static_cast<size_t>(s->Size()), '\0');
            s->SetPosition(0);
            s->Read(got.data(), s->Size());
            s->SetPosition(0);
        };
        loader.LoadPage(page);
        return got;
    }
    // The pages' names in page order, each with a space before it.
    std::string PageNames() const {
        std::string names;
        for (int i = 0; i < loader.FileNames()->GetPageCount(); ++i) names += " " + loader.FileNames()->GetPageName(i);
        return names;
    }

    FakeUi ui;
    TempDir dir;
    TSettings settings{};
    int owner = 0;
    TLoadFiles loader;
};

}  // namespace vellicor::test
