#pragma once
// How the file loader reaches archives: open one archive and get its member names, extract
// one member, close. The archive front end implements it; tests use an in-memory fake.
#include <cstdint>
#include <string>

#include "platform/StringList.h"

namespace vellicor {

class TStream;

class IArchiveSource {
public:
    virtual ~IArchiveSource() = default;
    // Opens the archive (forgetting the previous one) and lists its members in archive order.
    // False when the archive cannot be read or holds no member; the list is then empty.
    virtual bool Open(const std::string& archiveName, TStringList& memberNames) = 0;
    // The member's bytes positioned at 0, or null when it cannot be delivered. The stream
    // belongs to the archive side and stays valid until the next Extract, Open or Close.
    virtual TStream* Extract(const std::string& memberName) = 0;
    // Forgets the open archive (and any stream handed out).
    virtual void Close() = 0;
    // The member's size as the archive states it, without unpacking it; -1 when unknown.
    virtual int64_t MemberSize(const std::string& memberName) {
        (void)memberName;
        return -1;
    }
    // After an Extract that delivered nothing: true when the member was lost to its
    // password (a wrong one, or the question cancelled), so that asking again may serve it.
    virtual bool FailureMayPass() const { return false; }
};

}  // namespace vellicor
