#pragma once
// The recording fake of the zip and unzip libraries: the state a test sets and reads back
// through FakeDll_State.
#include <cstdint>
#include <string>
#include <vector>

#include "archives/zip/ZipDllAddApi.h"
#include "archives/zip/ZipDllApi.h"

struct FakeScriptStep {
    int action = 0;
    int32_t error = 0;
    uint32_t size = 0;
    std::string text;
    int fill = -1;  // zacStream: the value written into every byte of the replied buffer
};

struct FakeRecord {
    bool oldLayout = false;
    // The record as received; of the old layout only the shared head and the check word.
    // Its pointers die with the call: the texts are copied below.
    UnZipParams p{};
    std::string password, zipName, extractDir;
    std::vector<std::string> specs;
    std::vector<UnzFileData> specRecords;  // new layout
    std::vector<ZCallBackStruct> replies;  // the callback records as the component left them
    bool cancelled = false;
    // Zip records: the head as received (pointers dead after the call) and copies of the texts.
    ZipParams zp{};
    std::string suffix, tempPath, comment;
    std::vector<ZipFileData> zipSpecs;
    std::vector<std::string> specPasswords, specRoots, exclusions;
};

struct FakeState {
    uint32_t version = ZIPDLL_VERSION, privVersion = 4242, result = 1;
    int versionCalls = 0, execCalls = 0;
    std::vector<FakeScriptStep> script;  // played by every exec call
    std::vector<FakeRecord> records;     // one per exec call
};

extern "C" typedef FakeState* (*FakeStateFunc)(void);
