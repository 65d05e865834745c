#include "platform/CPathMatch.h"

#include <cctype>
#include <vector>

namespace {

// The state of one match: reach[j] says whether the first j pattern characters
// can match the name characters consumed so far. One row per call, so match()
// stays const and safe to call from several threads.
struct CPathMatchWorkData {
    explicit CPathMatchWorkData(size_t patternLength) : reach(patternLength + 1, false), next(patternLength + 1) {}
    std::vector<bool> reach;
    std::vector<bool> next;
};

}  // namespace

void CPathMatch::setDelimiter(char value) {
    delimiter = value;
}

CZoError CPathMatch::initialize(const std::string& text, bool foldCase, bool wildcardsCrossDelimiter) {
    pattern = text;
    ignoreCase = foldCase;
    crossDelimiter = wildcardsCrossDelimiter;
    initialized = true;
    return CZoError::Success();
}

int CPathMatch::match(const char* name) const {
    if (!initialized || name == nullptr) return 0;
    auto same = [this](char a, char b) {
        if (a == b) return true;
        return ignoreCase && std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
    };
    const size_t m = pattern.size();

    CPathMatchWorkData w(m);
    w.reach[0] = true;
    for (size_t j = 1; j <= m && pattern[j - 1] == '*'; ++j) w.reach[j] = true;

    for (const char* s = name; *s != '\0'; ++s) {
        const char c = *s;
        const bool wildcardMay = crossDelimiter || c != delimiter;
        w.next.assign(m + 1, false);
        for (size_t j = 1; j <= m; ++j) {
            const char pc = pattern[j - 1];
            if (pc == '*') {
                // The star takes this character too, or matches nothing here.
                w.next[j] = (wildcardMay && w.reach[j]) || w.next[j - 1];
            } else if (pc == '?') {
                w.next[j] = wildcardMay && w.reach[j - 1];
            } else {
                w.next[j] = w.reach[j - 1] && same(pc, c);
            }
        }
        w.reach.swap(w.next);
    }
    return w.reach[m] ? 1 : 0;
}
