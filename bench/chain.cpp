// A cold page through the whole processing chain with the reader's default settings
// (decode, colour balance, yellowing reduction, fit to a 1280x1024 window, and gamma when
// switched on) against the bare decode of the same page, timed alternately. The last line
// is the ratio of medians.
#include <cstdio>
#include <functional>
#include <string>

#include "BenchSupport.h"
#include "pages/PageBMP.h"
#include "pages/PageOps.h"
#include "pages/PageOpsScratch.h"
#include "pages/PageSettings.h"
#include "pages/Processbmp.h"
#include "pages/Utilsunit.h"
#include "platform/Parallel.h"
#include "platform/Streams.h"
#include "settings/Configuration.h"

using namespace vellicor;
using namespace bench;

int main() {
    const int w = 1600, h = 2400;
    const std::string jpeg = MakePage(w, h);
    const std::string path = TempPath("chain.jpg");
    {
        TFileStream f;
        if (f.Open(path, FileMode::Create)) f.Write(jpeg.data(), static_cast<int64_t>(jpeg.size()));
    }
    SetMainClientSize(1280, 1024);
    TSettings settings;  // the defaults
    SetPageSettings(&settings);

    // Each stage alone on the decoded page, for where the time goes: the steps one by one
    // as they run with filling on, and the steps of the chain with the default settings.
    TPageBMP decoded(path);
    decoded.LoadFromFile(path);
    if (decoded.LoadError) {
        std::printf("decode failed\n");
        return 1;
    }
    pageops::TColourMap map;
    auto plan = [&](const TBitmap& b) {
        pageops::PlanColourMap(b, settings.Balance, settings.DiscardsPer1000, settings.FixYellowing,
                               settings.YellowingRedThreshold, settings.YellowingGreenThreshold,
                               settings.YellowingBlueThreshold, settings.YellowingGreenBoost,
                               settings.YellowingBlueBoost, map);
    };
    plan(decoded);
    auto stages = [&](int threads) {
        SetParallelThreads(threads);
        // One thread: processor time, which load from elsewhere changes least.
        auto time = threads == 1 ? MedianCpuMs : MedianMs;
        auto stage = [&](const char* name, const std::function<void(TBitmap&)>& op) {
            TBitmap copy;
            double ms = time(15, [&] {
                copy.AssignBitmap(decoded);
                op(copy);
            });
            double copyMs = time(15, [&] { copy.AssignBitmap(decoded); });
            std::printf("  %-36s %7.2f ms\n", name, ms - copyMs);
        };
        std::printf("Stages on a %dx%d page, %s:\n", w, h,
                    threads == 1 ? "one thread, processor time" : "every thread, wall time");
        if (threads == 1) {
            std::printf("  %-36s %7.2f ms\n", "bare decode", MedianCpuMs(15, [&] {
                TPageBMP page(path);
                page.LoadFromFile(path);
            }));
        }
        stage("colour balance", [&](TBitmap& b) {
            int32_t f;
            Balance(b, settings.DiscardsPer1000, f);
        });
        stage("yellowing reduction", [&](TBitmap& b) {
            bool r;
            ReduceYellowing(b, settings.YellowingRedThreshold, settings.YellowingGreenThreshold,
                            settings.YellowingBlueThreshold, settings.YellowingGreenBoost, settings.YellowingBlueBoost, r);
        });
        stage("Lanczos to 1280x1920", [&](TBitmap& b) { LanczosStretch(b, 1280, 1920); });
        stage("gamma 2.2", [&](TBitmap& b) {
            int32_t g;
            GammaCorrect(b, 220, g);
        });
        stage("chain: plan balance and yellowing", [&](TBitmap& b) { plan(b); });
        stage("chain: the map in one pass", [&](TBitmap& b) { pageops::ApplyColourMap(b, map); });
        stage("chain: Lanczos through the map", [&](TBitmap& b) { pageops::LanczosStretchMapped(b, 1280, 1920, &map); });
    };
    stages(1);
    stages(0);

    SetParallelThreads(1);
    auto [single, bare1] = Interleaved(
        15,
        [&] {
            TProcessBMP page(path, TRotation(0));
            page.LoadFromFile(path);
        },
        [&] {
            TPageBMP page(path);
            page.LoadFromFile(path);
        });
    SetParallelThreads(0);
    std::printf("One thread: whole chain %.2f ms, bare decode %.2f ms (%.2fx)\n", single.median, bare1.median,
                single.median / bare1.median);
    auto [chain, bare] = Interleaved(
        31,
        [&] {
            TProcessBMP page(path, TRotation(0));
            page.LoadFromFile(path);
        },
        [&] {
            TPageBMP page(path);
            page.LoadFromFile(path);
        });
    std::printf("Cold page, ms: whole chain %.2f (best %.2f), bare decode %.2f (best %.2f)\n", chain.median, chain.best,
                bare.median, bare.best);
    std::remove(path.c_str());
    std::printf("chain / bare decode: %.2fx (goal at most 2x)\n", chain.median / bare.median);
    OwnRow("cold 1600x2400 page through the whole chain, default settings", chain.median, "bare decode of the page",
           bare.median);
    return 0;
}
