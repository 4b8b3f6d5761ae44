#pragma once
// The recording fake of the zip and unzip libraries: what a test can set and read back.
#include <cstdint>
#include <string>
#include <vector>

#include "archives/zip/ZipDllApi.h"

struct FakeScriptStep {
    int action = 0;
    int32_t error = 0;
    uint32_t size = 0;
    std::string text;
    std::string comment;
    int fill = -1;  // zacStream: bytes written into the replied buffer (the value of each byte)
};

struct FakeRecord {
    bool oldLayout = false;
    std::vector<uint8_t> head;  // the record's bytes up to the specifications
    int32_t seven = 0;
    int32_t version = 0;
    int32_t trace = 0, test = 0, comments = 0, convert = 0, quiet = 0, verbose = 0, update = 0, freshen = 0,
            directories = 0, overwrite = 0, argc = 0;
    uint16_t codePage = 0;
    bool hasPassword = false;
    std::string password, zipName, extractDir;
    std::vector<std::string> specs;
    std::vector<UnzFileData> specRecords;  // new layout (texts copied into specs)
    int32_t useOutStream = 0, useInStream = 0;
    uint32_t outSize = 0, inSize = 0, pwdReqCount = 0;
    bool hasOutBuffer = false;
    std::vector<uint8_t> inBytes;
    std::vector<ZCallBackStruct> replies;  // the records as the callback left them
    bool cancelled = false;
};

extern "C" {
typedef void (*FakeSetU32)(uint32_t);
typedef void (*FakeVoid)(void);
typedef void (*FakeAddStep)(const FakeScriptStep*);
typedef int (*FakeCount)(void);
typedef const FakeRecord* (*FakeGetRecord)(int);
}
