#pragma once
// The table behind XKPlatformInfo and the XKPI_ objects: every configuration
// value of the process and the machine identity, under one lock. Private to
// platform/; callers go through XKPlatformInfo.

#include "platform/LockOrder.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <strings.h>
#include <vector>

class XKPlatformStore {
public:
    struct Value {
        std::string text;               // the value, or a list's entries joined by ","
        std::vector<std::string> list;  // a list's entries; empty unless isList
        bool isList = false;
    };

    // The one store, seeded from LBC_CONFIG_FILE on first use. Never destroyed:
    // static destructors of other modules may still read configuration.
    static XKPlatformStore& Instance();

    XKPlatformStore(const XKPlatformStore&) = delete;
    XKPlatformStore& operator=(const XKPlatformStore&) = delete;

    bool Find(const std::string& key, const std::string& name, Value& out) const;
    void Set(const std::string& key, const std::string& name, const Value& value);
    bool Remove(const std::string& key, const std::string& name);
    // Every value, the identity and the focus back to their defaults.
    void Clear();

    std::string JobResultsDirectory() const;
    void SetJobResultsDirectory(const std::string& path);
    std::string HubServerHostName() const;
    void SetHubServerHostName(const std::string& name);
    std::string PhysicalMachine() const;
    void SetPhysicalMachine(const std::string& name);
    std::string Focus() const;
    void SetFocus(const std::string& focus);

    // See XKPlatformInfo::TEST_LoadFile for the format.
    bool LoadFile(const std::string& path);
    bool SeedFromEnvironment();
    // What LBC_CONFIG_FILE named when the store was last seeded from it
    // (empty: unset), and whether that file was read.
    std::string SeedFile(bool& read) const;

    // Reports go to the notice log (XKPlatformInfo::SetNoticeLog); NoticeOnce
    // reports a text only the first time it is given.
    void SetNoticeLog(void (*log)(const std::string&));
    void Notice(const std::string& text);
    void NoticeOnce(const std::string& text);

private:
    XKPlatformStore() = default;
    bool SetIdentity(const std::string& name, const std::string& text);

    struct NoCaseLess {
        bool operator()(const std::string& a, const std::string& b) const {
            return strcasecmp(a.c_str(), b.c_str()) < 0;
        }
    };
    using Names = std::map<std::string, Value, NoCaseLess>;

    mutable RankedMutex mutex{LockRank::PlatformAnswers, "configuration store"};
    // guarded by mutex
    std::map<std::string, Names, NoCaseLess> keys;
    std::string jobResultsDirectory;  // empty: the default folder
    std::string hubServerHostName;
    std::string physicalMachine;  // empty: gethostname()
    std::string focus;
    std::string seedFile;
    bool seedFileRead = false;
    void (*noticeLog)(const std::string&) = nullptr;
    std::vector<std::string> pendingNotices;  // made while no notice log was set
    std::set<std::string> noticesGiven;       // of NoticeOnce
};
