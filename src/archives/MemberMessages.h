#pragma once
// What the archive readers say of one member that cannot be shown: named, with why, in the
// same words whatever the archive's kind.
#include <string>

namespace vellicor {

// Its data are damaged; why (a sentence of its own) follows on the next line.
inline std::string MemberDamagedText(const std::string& Member, const std::string& Why) {
    return "The member " + Member + " is damaged and cannot be shown." + (Why.empty() ? "" : "\n" + Why);
}

// Anything else that keeps it from its page; why is a clause.
inline std::string MemberNotShownText(const std::string& Member, const std::string& Why) {
    return "The member " + Member + " cannot be shown: " + Why + ".";
}

}  // namespace vellicor
