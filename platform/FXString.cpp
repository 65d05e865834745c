#include "platform/FXString.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

const char* FXString::FindString(const char* s, const char* text, bool ignoreCase) {
    if (s == nullptr || text == nullptr) return nullptr;
    if (!ignoreCase) return std::strstr(s, text);
    size_t n = std::strlen(text);
    for (const char* p = s; *p != '\0'; ++p) {
        if (strncasecmp(p, text, n) == 0) return p;
    }
    return n == 0 ? s : nullptr;
}

std::string FXString::FormatV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string FXString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatV(format, args);
    va_end(args);
    return out;
}

namespace {
template <typename Container>
void SplitInto(const std::string& s, const std::string& separator, Container& out, bool skipEmpty) {
    out.clear();
    if (separator.empty()) {
        if (!s.empty() || !skipEmpty) out.push_back(s);
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t at = s.find(separator, start);
        std::string piece = s.substr(start, at == std::string::npos ? std::string::npos : at - start);
        if (!piece.empty() || !skipEmpty) out.push_back(piece);
        if (at == std::string::npos) break;
        start = at + separator.size();
    }
}
}  // namespace

void FXString::Split(const std::string& s, const std::string& separator, std::vector<std::string>& out,
                     bool skipEmpty) {
    SplitInto(s, separator, out, skipEmpty);
}

void FXString::Split(const std::string& s, const std::string& separator, std::list<std::string>& out,
                     bool skipEmpty) {
    SplitInto(s, separator, out, skipEmpty);
}

std::string FXString::CopyAndReplaceAll(const std::string& s, const std::string& from, const std::string& to) {
    if (from.empty()) return s;
    std::string out;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(from, start);
        if (at == std::string::npos) break;
        out.append(s, start, at - start);
        out += to;
        start = at + from.size();
    }
    out.append(s, start, std::string::npos);
    return out;
}

std::string FXString::ToUpper(const std::string& s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}
