#pragma once
// What the archive readers say of one member that cannot be shown: named, with why, in the
// same words whatever the archive's kind.
#include <string>

namespace vellicor {

// A member's name as a message shows it: control characters escaped (\t, \r, \n, \x01, ...),
// so that a hostile name cannot break the message's lines or hide what follows it. Every
// message that names a member goes through here.
inline std::string ShownName(const std::string& Name) {
    std::string out;
    out.reserve(Name.size());
    for (size_t i = 0; i < Name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(Name[i]);
        if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c == 0x7F) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Its data are damaged; why (a sentence of its own) follows on the next line.
inline std::string MemberDamagedText(const std::string& Member, const std::string& Why) {
    return "The member " + ShownName(Member) + " is damaged and cannot be shown." + (Why.empty() ? "" : "\n" + Why);
}

// Anything else that keeps it from its page; why is a clause.
inline std::string MemberNotShownText(const std::string& Member, const std::string& Why) {
    return "The member " + ShownName(Member) + " cannot be shown: " + Why + ".";
}

// Why a member whose data fail their checksum is damaged (the second argument above).
inline const char* const kCrcMismatchText = "Its data do not match their checksum (CRC).";

// Said once of an archive that ends early (an interrupted download): Last is the last whole
// member before the break (in archive order; empty for none), Cut the member the break falls
// in (empty when it falls in a header).
inline std::string ArchiveEndsEarlyText(const std::string& Last, const std::string& Cut) {
    std::string text = Last.empty() ? "The archive ends early, before any whole member."
                                    : "The archive ends early, after the member " + ShownName(Last) + "; the members up to it are shown.";
    if (!Cut.empty()) text += "\nThe member " + ShownName(Cut) + " is cut short and cannot be shown.";
    return text;
}

}  // namespace vellicor
