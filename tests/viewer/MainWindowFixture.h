#pragma once
// The reader's main window on the offscreen platform, with settings of its own.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "QtTestApp.h"
#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/TempDir.h"
#include "viewer/MainWindow.h"

namespace vellicor::test {

class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        setenv("VELLICOR_CONFIG_DIR", store.Path().c_str(), 1);
        ResetRegistryStore();
        SetModuleSearchDir(VELLICOR_MODULE_DIR);  // the archive libraries
        config = std::make_unique<TConfigureForm>();
        queue = std::make_unique<TProcessFilesForm>(*config);
    }
    void TearDown() override {
        window.reset();
        queue.reset();
        config.reset();
        TBufferedPage::ClearList();
        ResetRegistryStore();
    }
    // The window at 400x300 on names, shown or not, once start-up and its work are done.
    void Open(std::vector<std::string> names, bool show = false) {
        window = std::make_unique<MainWindow>(*config, *queue, std::move(names));
        window->resize(400, 300);
        if (show) window->show();
        QCoreApplication::processEvents();  // start-up: the first page starts loading
        for (int i = 0; i < 2000 && window->Form().IdleHandler(); ++i) {
        }
    }

    TempDir store, pages;
    std::unique_ptr<TConfigureForm> config;
    std::unique_ptr<TProcessFilesForm> queue;
    std::unique_ptr<MainWindow> window;
};

}  // namespace vellicor::test
