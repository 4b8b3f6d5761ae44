#include "pages/PageSettings.h"

#include "settings/Configuration.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
const TSettings* g_settings = nullptr;
}

void SetPageSettings(const TSettings* Settings) {
    VTRACE("PageSettings::SetPageSettings");
    g_settings = Settings;
}

const TSettings& PageSettings() {
    static const TSettings defaults{};
    return g_settings ? *g_settings : defaults;
}

}  // namespace vellicor
