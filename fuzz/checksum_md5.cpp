// Fuzzes the MD5 list reader and the checks that follow it.
#include "checksum_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzing::RunChecksumList("fuzz.md5", data, size);
}
