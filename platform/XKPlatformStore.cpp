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
    std::lock_guard<std::mutex> guard(mutex);
    auto k = keys.find(key);
    if (k == keys.end()) return false;
    auto n = k->second.find(name);
    if (n == k->second.end()) return false;
    out = n->second;
    return true;
}

void XKPlatformStore::Set(const std::string& key, const std::string& name, const Value& value) {
    std::lock_guard<std::mutex> guard(mutex);
    keys[key][name] = value;
}

bool XKPlatformStore::Remove(const std::string& key, const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex);
    auto k = keys.find(key);
    if (k == keys.end()) return false;
    bool removed = k->second.erase(name) != 0;
    if (k->second.empty()) keys.erase(k);
    return removed;
}

void XKPlatformStore::Clear() {
    std::lock_guard<std::mutex> guard(mutex);
    keys.clear();
    jobResultsDirectory.clear();
    hubServerHostName.clear();
    physicalMachine.clear();
    focus.clear();
}

std::string XKPlatformStore::JobResultsDirectory() const {
    std::lock_guard<std::mutex> guard(mutex);
    return jobResultsDirectory.empty() ? std::string(kDefaultJobResultsDirectory) : jobResultsDirectory;
}

void XKPlatformStore::SetJobResultsDirectory(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex);
    jobResultsDirectory = path;
}

std::string XKPlatformStore::HubServerHostName() const {
    std::lock_guard<std::mutex> guard(mutex);
    return hubServerHostName;
}

void XKPlatformStore::SetHubServerHostName(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex);
    hubServerHostName = name;
}

std::string XKPlatformStore::PhysicalMachine() const {
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!physicalMachine.empty()) return physicalMachine;
    }
    return HostName();
}

void XKPlatformStore::SetPhysicalMachine(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex);
    physicalMachine = name;
}

std::string XKPlatformStore::Focus() const {
    std::lock_guard<std::mutex> guard(mutex);
    return focus;
}

void XKPlatformStore::SetFocus(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex);
    focus = text;
}

bool XKPlatformStore::LoadFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;

    std::string section = kDefaultKey;
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[') {
            if (line.back() == ']') {
                std::string name = Trim(line.substr(1, line.size() - 2));
                if (!name.empty()) section = name;
            }
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string name = Trim(line.substr(0, equals));
        std::string text = Trim(line.substr(equals + 1));
        if (name.empty()) continue;

        if (FXString::MatchesNoCase(section, kPlatformSection)) {
            if (FXString::MatchesNoCase(name, "JobResultsDirectory")) {
                SetJobResultsDirectory(text);
            } else if (FXString::MatchesNoCase(name, "HubServerHostName")) {
                SetHubServerHostName(text);
            } else if (FXString::MatchesNoCase(name, "PhysicalMachine")) {
                SetPhysicalMachine(text);
            }
            continue;
        }
        Value value;
        value.text = text;
        Set(section, name, value);
    }
    return true;
}

bool XKPlatformStore::SeedFromEnvironment() {
    const char* path = getenv("LBC_CONFIG_FILE");
    if (path == nullptr || *path == '\0') return false;
    if (LoadFile(path)) return true;
    // The log writer itself reads this store, so stderr is the only place
    // left to say why the configuration is missing.
    fprintf(stderr, "LiveBrowseCache: cannot read the configuration file [%s] named by LBC_CONFIG_FILE\n", path);
    return false;
}
