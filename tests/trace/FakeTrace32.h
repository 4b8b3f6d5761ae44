#pragma once
// What a fake trace module built by the tests records; the tests reach it through
// the module's FakeState().
#include <cstdint>
#include <string>
#include <vector>

struct FakeRecord {
    int32_t type = 0, length = 0;
    std::string data, label;
};

struct FakeTraceState {
    bool mapAvailable = false;  // whether OpenTraceMemMap succeeds
    bool open = false;
    int openCalls = 0;
    std::string mapName = "/fake";
    std::vector<FakeRecord> records;
};
