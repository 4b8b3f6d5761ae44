// The settings file parser: any bytes are read without fault, and what it makes of them
// is written back so that it reads again the same and without damage.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/RegistryFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vellicor::regfile;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Tree tree;
    Parse(text, tree);
    std::string once = Serialize(tree);
    Tree again;
    if (Parse(once, again) != 0) std::abort();
    if (Serialize(again) != once) std::abort();
    return 0;
}
