#pragma once
// Wildcard test of one name: '*' matches any run of characters, '?' exactly
// one; neither matches the delimiter unless told to. Every other character
// matches itself. Initialised once, then match() may be called from any number
// of threads: each call works on state of its own.

#include "CZoError.h"

#include <string>

class CPathMatch {
public:
    CPathMatch() = default;

    // The character that separates path components ('/' for our paths).
    void setDelimiter(char delimiter);
    // ignoreCase folds ASCII letters; crossDelimiter lets the wildcards match
    // the delimiter too. An empty pattern matches only the empty name.
    CZoError initialize(const std::string& pattern, bool ignoreCase, bool crossDelimiter);
    // 1 when the whole name matches, 0 otherwise (also before initialize).
    int match(const char* name) const;

private:
    // constant after initialize
    std::string pattern;
    char delimiter = '/';
    bool ignoreCase = false;
    bool crossDelimiter = false;
    bool initialized = false;
};
