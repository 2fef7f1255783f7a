// A session row's derived values.

#include "QORModels/tls/TLSSessionKeyRow.hpp"

#include <unordered_set>

#include "QORModels/tls/TLSSessionStatusResolving.hpp"

namespace qor {
namespace {

template <class Member>
std::vector<std::string> distinctInMatchOrder(const std::vector<TLSKeyMatch>& matches, Member member) {
    std::vector<std::string> out;
    std::unordered_set<std::string_view> seen;
    for (const auto& match : matches)
        for (const auto& text : match.*member)
            if (seen.insert(text).second) out.push_back(text);
    return out;
}

}  // namespace

std::vector<std::string> TLSSessionKeyRow::allLabels() const { return distinctInMatchOrder(matches, &TLSKeyMatch::labels); }

std::vector<std::string> TLSSessionKeyRow::allLines() const { return distinctInMatchOrder(matches, &TLSKeyMatch::lines); }

TLSSessionStatus TLSSessionKeyRow::status() const { return TLSSessionStatusResolution::canonical().status(*this); }

TLSSessionKeyRow TLSSessionKeyRow::with(std::optional<TLSDecryptionOutcome> outcome) const {
    TLSSessionKeyRow copy = *this;
    copy.decryptionOutcome = outcome;
    return copy;
}

}  // namespace qor
