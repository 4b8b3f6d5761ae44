// Settings timings: first-run start-up, a normal start-up, one setter and a new bookmark
// with twelve full slots of 200 names. Each of ours runs beside a peer that makes the same
// store calls one value at a time, without a batch (one file rewrite per value).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "settings/Configuration.h"

using namespace vellicor;

namespace {

std::string g_base;
int g_dirCount = 0;

// A fresh, empty store directory.
void FreshStore() {
    std::string dir = g_base + "/store" + std::to_string(g_dirCount++);
    std::filesystem::create_directories(dir);
    ::setenv("VELLICOR_CONFIG_DIR", dir.c_str(), 1);
    ResetRegistryStore();
}

// Median of runs, in milliseconds; setup runs before each timed call, untimed.
double Time(int runs, const std::function<void()>& setup, const std::function<void()>& body) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        if (setup) setup();
        auto t0 = std::chrono::steady_clock::now();
        body();
        auto t1 = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

void Report(const char* what, double ours, double peer, double targetMs = 0) {
    bench::OwnRow(std::string("settings: ") + what, ours, "the same writes unbatched", peer);
    std::printf("%-44s ours %9.3f ms   unbatched %9.3f ms   ratio %6.2f", what, ours, peer, peer > 0 ? ours / peer : 0.0);
    if (targetMs > 0) std::printf("   target < %.0f ms: %s", targetMs, ours < targetMs ? "met" : "MISSED");
    std::printf("\n");
}

const char* const kKey = TConfigureForm::kSettingsKey;

// Writes every default one value at a time, as a first run without a batch would.
void PeerFirstRun() {
    for (int i = 0; i < 77; ++i) {
        TRegistry reg;
        reg.OpenKey(kKey, true);
        std::string name = "Value" + IntToStr(i);
        if (!reg.ValueExists(name)) reg.WriteInteger(name, i);
        (void)reg.ReadInteger(name);
    }
}

TStringList Names(int slot) {
    TStringList l;
    for (int i = 0; i < 200; ++i) l.Add("/home/reader/comics/series " + IntToStr(slot) + "/volume " + IntToStr(i) + ".cbz");
    return l;
}

void FillSlots(TConfigureForm& form) {
    for (int s = 0; s < 12; ++s) {
        form.SetLastPages(Names(s));
        form.SetLastPage(s);
        form.SetBookmark(s);
    }
}

// The same store calls as a new bookmark over twelve full slots, one rewrite per value.
void PeerBookmark(const TStringList& current) {
    auto sub = [](int slot) { return TConfigureForm::BookmarkName(slot); };
    {
        TRegistry reg;
        reg.OpenKey(kKey, true);
        reg.WriteInteger("RecentPages", 3);
        reg.DeleteKey(sub(11));
    }
    for (int j = 11; j >= 1; --j) {
        std::vector<std::string> values;
        int32_t page = 0;
        {
            TRegistry reg;
            if (reg.OpenKey(std::string(kKey) + "\\" + sub(j - 1), false))
                for (const auto& n : reg.GetValueNames()) values.push_back(reg.ReadString(n).value_or(""));
            TRegistry k;
            k.OpenKey(kKey, false);
            page = k.ReadInteger(sub(j - 1)).value_or(0);
        }
        {
            TRegistry reg;
            reg.OpenKey(kKey, true);
            reg.WriteInteger(sub(j), page);
        }
        for (size_t i = 0; i < values.size(); ++i) {
            TRegistry reg;
            reg.OpenKey(std::string(kKey) + "\\" + sub(j), true);
            reg.WriteString(IntToHex(i, 4), values[i]);
        }
        TRegistry reg;
        reg.OpenKey(kKey, false);
        reg.DeleteKey(sub(j - 1));
    }
    for (int i = 0; i < current.Count(); ++i) {
        TRegistry reg;
        reg.OpenKey(std::string(kKey) + "\\" + sub(0), true);
        reg.WriteString(IntToHex(static_cast<uint64_t>(i), 4), current[i]);
    }
}

}  // namespace

double g_bookmarkRatio = 0;

int main() {
    g_base = std::filesystem::temp_directory_path().string() + "/vellicor-bench-settings-" + std::to_string(::getpid());
    std::filesystem::create_directories(g_base);
    FreshStore();  // never the user's own settings
    std::printf("settings store: %s\n", RegistryFilePath().c_str());

    // First run: an empty store fills itself with every default.
    double first = Time(15, FreshStore, [] { TConfigureForm form; });
    double firstPeer = Time(15, FreshStore, PeerFirstRun);
    Report("first-run start-up (77 defaults)", first, firstPeer);

    // Normal start-up: every value exists; the store file is read again each time.
    FreshStore();
    { TConfigureForm form; }
    std::unique_ptr<TConfigureForm> loaded;
    double normal = Time(31, [&] { loaded.reset(); ResetRegistryStore(); }, [&] { loaded = std::make_unique<TConfigureForm>(); });
    loaded.reset();
    std::printf("%-44s ours %9.3f ms\n", "normal start-up (construction only)", normal);

    // One setter: switching a fit mode on writes eight values.
    FreshStore();
    {
        TConfigureForm form;
        bool on = false;
        double setter = Time(31, nullptr, [&] {
            on = !on;
            form.SetFit(on);
            if (on) form.SetFit(false);
        });
        const char* names[] = {"Fit", "FitIfOversize", "FitWidth", "FitWidthIfOversize",
                               "FitHeight", "FitHeightIfOversize", "TargetHeight", "TwoPages"};
        double setterPeer = Time(31, nullptr, [&] {
            for (const char* n : names) {
                TRegistry reg;
                reg.OpenKey(kKey, true);
                reg.WriteInteger(n, 0);
            }
        });
        Report("SetFit on and off (9 writes)", setter, setterPeer);
        double simple = Time(31, nullptr, [&] { form.SetWindowLeft(10); });
        std::printf("%-44s ours %9.3f ms\n", "SetWindowLeft (1 write)", simple);
    }

    // A new bookmark with twelve full slots of 200 names: eleven sets move, one drops out.
    FreshStore();
    {
        TConfigureForm form;
        FillSlots(form);
        form.SetLastPages(Names(99));
        double bookmark = Time(9, nullptr, [&] { form.SetBookmark(-1); });
        double bookmarkPeer = Time(3, nullptr, [&] { PeerBookmark(form.LastFiles); });
        Report("SetBookmark(-1), 12 slots x 200 names", bookmark, bookmarkPeer, 50);
        g_bookmarkRatio = bookmarkPeer > 0 ? bookmark / bookmarkPeer : 0;
        double list = Time(9, nullptr, [&] {
            TStringList items;
            form.ListBookmarks(items);
        });
        std::printf("%-44s ours %9.3f ms\n", "ListBookmarks, 12 slots x 200 names", list);
    }

    std::error_code ec;
    std::filesystem::remove_all(g_base, ec);
    std::printf("ratio ours/unbatched, SetBookmark(-1): %.2fx\n", g_bookmarkRatio);
    return 0;
}
