#pragma once
// The recording fake of the rar library: a scripted archive, and what the reader did with
// it, read back through FakeRar_State.
#include <string>
#include <utility>
#include <vector>

#include "archives/UnRarApi.h"

struct FakeRarMember {
    FakeRarMember(std::string name, unsigned flags, std::string data, int testResult = ERAR_SUCCESS,
                  long passwordBufferSize = 0, int volumeMode = -1, std::string volumeName = {})
        : name(std::move(name)), flags(flags), data(std::move(data)), testResult(testResult),
          passwordBufferSize(passwordBufferSize), volumeMode(volumeMode), volumeName(std::move(volumeName)) {}
    std::string name;  // as the header carries it, folders included
    unsigned flags = 0;
    std::string data;
    int testResult = ERAR_SUCCESS;
    long passwordBufferSize = 0;  // > 0: asks for a password with a buffer of this size first
    int volumeMode = -1;          // >= 0: sends a volume change for volumeName in this mode first
    std::string volumeName;
};

struct FakeRarState {
    unsigned openResult = ERAR_SUCCESS;
    int endCode = ERAR_END_ARCHIVE;  // what the read after the last member returns
    std::vector<FakeRarMember> members;
    // Records.
    int opens = 0, closes = 0;
    std::vector<unsigned> modes;
    std::vector<std::string> operations;       // "skip NAME" or "test NAME"
    std::vector<std::string> passwordBuffers;  // each password buffer as the reader left it
    std::vector<int> callbackResults;          // of every password and volume message
};

extern "C" typedef FakeRarState* (*FakeRarStateFunc)(void);
