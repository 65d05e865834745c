#include "platform/XKPlatformInfo.h"

#include "platform/FXString.h"
#include "platform/XKPlatformStore.h"

#include <climits>
#include <cstdint>

namespace {

// Decimal digits only, within 64 bits: a value that does not fit is not
// silently cut to another number.
bool ParseNumber(const std::string& text, unsigned long long& out) {
    if (text.empty()) return false;
    unsigned long long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (n > (ULLONG_MAX - digit) / 10) return false;
        n = n * 10 + digit;
    }
    out = n;
    return true;
}

// The spellings people write, in any case, or a number.
bool ParseBoolean(const std::string& text, bool& out) {
    for (const char* yes : {"true", "yes", "on"}) {
        if (FXString::MatchesNoCase(text, yes)) {
            out = true;
            return true;
        }
    }
    for (const char* no : {"false", "no", "off"}) {
        if (FXString::MatchesNoCase(text, no)) {
            out = false;
            return true;
        }
    }
    unsigned long long n = 0;
    if (!ParseNumber(text, n)) return false;
    out = n != 0;
    return true;
}

std::vector<std::string> AsList(const XKPlatformStore::Value& value) {
    if (value.isList) return value.list;
    std::vector<std::string> pieces;
    FXString::Split(value.text, ",", pieces, false);
    std::vector<std::string> entries;
    for (const std::string& piece : pieces) {
        size_t first = piece.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        size_t last = piece.find_last_not_of(" \t");
        entries.push_back(piece.substr(first, last - first + 1));
    }
    return entries;
}

}  // namespace

int XKPlatformInfo::getValue(const std::string& key, const std::string& name, unsigned long& value) const {
    static_assert(sizeof(unsigned long) == sizeof(unsigned long long), "LP64 expected");
    unsigned long long n = 0;
    if (!getValue(key, name, n)) return 0;
    value = static_cast<unsigned long>(n);
    return 1;
}

int XKPlatformInfo::getValue(const std::string& key, const std::string& name, unsigned long long& value) const {
    XKPlatformStore::Value stored;
    if (!XKPlatformStore::Instance().Find(key, name, stored)) return 0;
    unsigned long long n = 0;
    if (!ParseNumber(stored.text, n)) return 0;
    value = n;
    return 1;
}

int XKPlatformInfo::getValue(const std::string& key, const std::string& name, std::string& value,
                             const char* defaultText) const {
    XKPlatformStore::Value stored;
    if (!XKPlatformStore::Instance().Find(key, name, stored)) {
        if (defaultText != nullptr) value = defaultText;
        return 0;
    }
    value = stored.text;
    return 1;
}

int XKPlatformInfo::getBoolean(const std::string& key, const std::string& name, bool* value) const {
    XKPlatformStore::Value stored;
    if (!XKPlatformStore::Instance().Find(key, name, stored)) return 0;
    bool b = false;
    if (!ParseBoolean(stored.text, b)) {
        // Read as absent, as the callers expect, but not silently.
        XKPlatformStore::Instance().NoticeOnce(FXString::Format(
            "Configuration value [%s\\%s] = [%s] is not a boolean; taken as absent", key.c_str(), name.c_str(),
            stored.text.c_str()));
        return 0;
    }
    if (value != nullptr) *value = b;
    return 1;
}

int XKPlatformInfo::getStringList(const std::string& key, const std::string& name, std::vector<std::string>& list,
                                  std::vector<std::string>* other) const {
    XKPlatformStore::Value stored;
    if (!XKPlatformStore::Instance().Find(key, name, stored)) return 0;
    list = AsList(stored);
    if (other != nullptr) other->clear();
    return 1;
}

int XKPlatformInfo::deleteField(const std::string& key, const std::string& name) const {
    return XKPlatformStore::Instance().Remove(key, name) ? 1 : 0;
}

void XKPlatformInfo::SetNoticeLog(NoticeLog log) { XKPlatformStore::Instance().SetNoticeLog(log); }

std::string XKPlatformInfo::getSeedFile(bool& read) { return XKPlatformStore::Instance().SeedFile(read); }

std::string XKPlatformInfo::getPhysicalMachine() const { return XKPlatformStore::Instance().PhysicalMachine(); }

void XKPlatformInfo::TEST_Set(const std::string& key, const std::string& name, const std::string& text) {
    XKPlatformStore::Value value;
    value.text = text;
    XKPlatformStore::Instance().Set(key, name, value);
}

void XKPlatformInfo::TEST_SetNumber(const std::string& key, const std::string& name, unsigned long long number) {
    TEST_Set(key, name, std::to_string(number));
}

void XKPlatformInfo::TEST_SetBool(const std::string& key, const std::string& name, bool value) {
    TEST_Set(key, name, value ? "1" : "0");
}

void XKPlatformInfo::TEST_SetList(const std::string& key, const std::string& name,
                                  const std::vector<std::string>& list) {
    XKPlatformStore::Value value;
    value.isList = true;
    value.list = list;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i != 0) value.text += ",";
        value.text += list[i];
    }
    XKPlatformStore::Instance().Set(key, name, value);
}

void XKPlatformInfo::TEST_Delete(const std::string& key, const std::string& name) {
    XKPlatformStore::Instance().Remove(key, name);
}

bool XKPlatformInfo::TEST_Has(const std::string& key, const std::string& name) {
    XKPlatformStore::Value stored;
    return XKPlatformStore::Instance().Find(key, name, stored);
}

std::string XKPlatformInfo::TEST_Get(const std::string& key, const std::string& name) {
    XKPlatformStore::Value stored;
    XKPlatformStore::Instance().Find(key, name, stored);
    return stored.text;
}

void XKPlatformInfo::TEST_Clear() { XKPlatformStore::Instance().Clear(); }

void XKPlatformInfo::TEST_SetJobResultsDirectory(const std::string& path) {
    XKPlatformStore::Instance().SetJobResultsDirectory(path);
}

void XKPlatformInfo::TEST_SetHubServerHostName(const std::string& name) {
    XKPlatformStore::Instance().SetHubServerHostName(name);
}

void XKPlatformInfo::TEST_SetPhysicalMachine(const std::string& name) {
    XKPlatformStore::Instance().SetPhysicalMachine(name);
}

bool XKPlatformInfo::TEST_LoadFile(const std::string& path) { return XKPlatformStore::Instance().LoadFile(path); }

bool XKPlatformInfo::TEST_ReseedFromEnvironment() { return XKPlatformStore::Instance().SeedFromEnvironment(); }
