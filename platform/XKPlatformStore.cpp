#include "platform/XKPlatformStore.h"

#include "platform/FXString.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace {

const char kDefaultKey[] = "VirtualServer";
const char kPlatformSection[] = "Platform";
const char kDefaultJobResultsDirectory[] = "/tmp/LiveBrowseCacheJobResults";

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    size_t last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

// A "#" or ";" at the start or after a blank begins a comment; one inside a
// value ("/logs/#1") does not.
std::string StripComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if ((line[i] == '#' || line[i] == ';') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    }
    return line;
}

constexpr size_t kMaxPendingNotices = 64;

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

}  // namespace

XKPlatformStore& XKPlatformStore::Instance() {
    static XKPlatformStore* const store = [] {
        XKPlatformStore* s = new XKPlatformStore;
        s->SeedFromEnvironment();
        return s;
    }();
    return *store;
}

bool XKPlatformStore::Find(const std::string& key, const std::string& name, Value& out) const {
    std::lock_guard<RankedMutex> guard(mutex);
    auto k = keys.find(key);
    if (k == keys.end()) return false;
    auto n = k->second.find(name);
    if (n == k->second.end()) return false;
    out = n->second;
    return true;
}

void XKPlatformStore::Set(const std::string& key, const std::string& name, const Value& value) {
    std::lock_guard<RankedMutex> guard(mutex);
    keys[key][name] = value;
}

bool XKPlatformStore::Remove(const std::string& key, const std::string& name) {
    std::lock_guard<RankedMutex> guard(mutex);
    auto k = keys.find(key);
    if (k == keys.end()) return false;
    bool removed = k->second.erase(name) != 0;
    if (k->second.empty()) keys.erase(k);
    return removed;
}

void XKPlatformStore::Clear() {
    std::lock_guard<RankedMutex> guard(mutex);
    keys.clear();
    jobResultsDirectory.clear();
    hubServerHostName.clear();
    physicalMachine.clear();
    focus.clear();
    pendingNotices.clear();
    noticesGiven.clear();
}

std::string XKPlatformStore::JobResultsDirectory() const {
    std::lock_guard<RankedMutex> guard(mutex);
    return jobResultsDirectory.empty() ? std::string(kDefaultJobResultsDirectory) : jobResultsDirectory;
}

void XKPlatformStore::SetJobResultsDirectory(const std::string& path) {
    std::lock_guard<RankedMutex> guard(mutex);
    jobResultsDirectory = path;
}

std::string XKPlatformStore::HubServerHostName() const {
    std::lock_guard<RankedMutex> guard(mutex);
    return hubServerHostName;
}

void XKPlatformStore::SetHubServerHostName(const std::string& name) {
    std::lock_guard<RankedMutex> guard(mutex);
    hubServerHostName = name;
}

std::string XKPlatformStore::PhysicalMachine() const {
    {
        std::lock_guard<RankedMutex> guard(mutex);
        if (!physicalMachine.empty()) return physicalMachine;
    }
    return HostName();
}

void XKPlatformStore::SetPhysicalMachine(const std::string& name) {
    std::lock_guard<RankedMutex> guard(mutex);
    physicalMachine = name;
}

std::string XKPlatformStore::Focus() const {
    std::lock_guard<RankedMutex> guard(mutex);
    return focus;
}

void XKPlatformStore::SetFocus(const std::string& text) {
    std::lock_guard<RankedMutex> guard(mutex);
    focus = text;
}

// A name of the [Platform] section; false for one it does not know.
bool XKPlatformStore::SetIdentity(const std::string& name, const std::string& text) {
    if (FXString::MatchesNoCase(name, "JobResultsDirectory")) {
        SetJobResultsDirectory(text);
    } else if (FXString::MatchesNoCase(name, "HubServerHostName")) {
        SetHubServerHostName(text);
    } else if (FXString::MatchesNoCase(name, "PhysicalMachine")) {
        SetPhysicalMachine(text);
    } else {
        return false;
    }
    return true;
}

bool XKPlatformStore::LoadFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;

    std::string section = kDefaultKey;
    std::string raw;
    unsigned lineNumber = 0;
    while (std::getline(in, raw)) {
        ++lineNumber;
        const std::string line = Trim(StripComment(raw));
        if (line.empty()) continue;
        // Anything of no known shape is reported, never stored under a guess.
        bool readable = false;
        if (line.front() == '[') {
            std::string name = line.back() == ']' ? Trim(line.substr(1, line.size() - 2)) : std::string();
            if (!name.empty()) {
                section = name;
                readable = true;
            }
        } else {
            size_t equals = line.find('=');
            std::string name = equals == std::string::npos ? std::string() : Trim(line.substr(0, equals));
            std::string text = name.empty() ? std::string() : Trim(line.substr(equals + 1));
            if (name.empty()) {
                readable = false;
            } else if (!FXString::MatchesNoCase(section, kPlatformSection)) {
                Value value;
                value.text = text;
                Set(section, name, value);
                readable = true;
            } else {
                readable = SetIdentity(name, text);
            }
        }
        if (!readable)
            Notice(FXString::Format("Cannot read line %u of the configuration file [%s]: [%s]", lineNumber,
                                    path.c_str(), Trim(raw).c_str()));
    }
    return true;
}

void XKPlatformStore::SetNoticeLog(void (*log)(const std::string&)) {
    std::vector<std::string> pending;
    {
        std::lock_guard<RankedMutex> guard(mutex);
        noticeLog = log;
        if (log != nullptr) pending.swap(pendingNotices);
    }
    for (const std::string& text : pending) log(text);
}

void XKPlatformStore::Notice(const std::string& text) {
    void (*log)(const std::string&) = nullptr;
    {
        std::lock_guard<RankedMutex> guard(mutex);
        log = noticeLog;
        if (log == nullptr && pendingNotices.size() < kMaxPendingNotices) pendingNotices.push_back(text);
    }
    // Outside the lock: the log may read configuration itself.
    if (log != nullptr) log(text);
}

void XKPlatformStore::NoticeOnce(const std::string& text) {
    {
        std::lock_guard<RankedMutex> guard(mutex);
        if (!noticesGiven.insert(text).second) return;
    }
    Notice(text);
}

bool XKPlatformStore::SeedFromEnvironment() {
    const char* path = getenv("LBC_CONFIG_FILE");
    const std::string named = path != nullptr ? path : "";
    const bool read = !named.empty() && LoadFile(named);
    {
        std::lock_guard<RankedMutex> guard(mutex);
        seedFile = named;
        seedFileRead = read;
    }
    if (named.empty() || read) return read;
    // The log writer itself reads this store, so stderr is the only place
    // left to say why the configuration is missing.
    fprintf(stderr, "LiveBrowseCache: cannot read the configuration file [%s] named by LBC_CONFIG_FILE\n", path);
    return false;
}

std::string XKPlatformStore::SeedFile(bool& read) const {
    std::lock_guard<RankedMutex> guard(mutex);
    read = seedFileRead;
    return seedFile;
}
