#pragma once
// Text helpers of the utility library.

#include <cstdarg>
#include <list>
#include <string>
#include <strings.h>
#include <vector>

inline int _stricmp(const char* a, const char* b) { return strcasecmp(a, b); }
inline int _strnicmp(const char* a, const char* b, size_t n) { return strncasecmp(a, b, n); }

class FXString {
public:
    static bool MatchesNoCase(const std::string& a, const std::string& b) {
        return _stricmp(a.c_str(), b.c_str()) == 0;
    }
    static bool MatchLeftNoCase(const std::string& s, const std::string& prefix) {
        return s.size() >= prefix.size() && _strnicmp(s.c_str(), prefix.c_str(), prefix.size()) == 0;
    }
    static bool MatchLeft(const std::string& s, const std::string& prefix) {
        return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
    }
    // First occurrence of `text` in `s`, null when absent; `ignoreCase` folds ASCII case.
    static const char* FindString(const char* s, const char* text, bool ignoreCase);
    static const char* FindString(const std::string& s, const char* text, bool ignoreCase) {
        return FindString(s.c_str(), text, ignoreCase);
    }

    static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static std::string FormatV(const char* format, va_list args);

    // Pieces between separators, in order; `skipEmpty` drops empty pieces.
    static void Split(const std::string& s, const std::string& separator, std::vector<std::string>& out,
                      bool skipEmpty = false);
    static void Split(const std::string& s, const std::string& separator, std::list<std::string>& out,
                      bool skipEmpty = false);
    // `s` without its first n characters.
    static std::string RemoveLeft(const std::string& s, size_t n) { return n >= s.size() ? std::string() : s.substr(n); }
    static std::string CopyAndReplaceAll(const std::string& s, const std::string& from, const std::string& to);
    static std::string ToUpper(const std::string& s);
    // The decimal digits of value, as printf's %llu prints them, appended.
    static void AppendDecimal(std::string& out, unsigned long long value) {
        char digits[20];
        char* first = digits + sizeof digits;
        do {
            *--first = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        out.append(first, digits + sizeof digits);
    }
    static std::string ToString(long long value) { return std::to_string(value); }
    static std::string ToString(unsigned long long value) { return std::to_string(value); }
};
