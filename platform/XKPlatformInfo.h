#pragma once
// The platform's configuration store: one in-memory, process-wide table of
// values by key ("VirtualServer", "VirtualServer\LiveBrowseCache\Debug") and
// value name. Keys and names match without regard to ASCII case, as registry
// keys do. Each XKPlatformInfo is a cheap reader over the one table; make one
// for a read and drop it after.
//
// Every value is kept as text (a list as its entries), so one value may be read
// in any form it can be read as:
//   number   decimal digits only, the whole unsigned 64-bit range kept exactly;
//            anything else (sign, blanks, overflow) is not a number
//   boolean  "true"/"false", "yes"/"no", "on"/"off" in any case, or a number
//            (0 false, otherwise true); any other text is reported once to the
//            notice log and reads as absent
//   text     the text; a list reads as its entries joined by ","
//   list     a list's entries; a text reads as its ","-separated pieces with
//            blanks trimmed and empty pieces dropped
// Getters answer non-zero and set the out-parameter when the value is present
// and readable in that form; otherwise 0, with the out-parameter unchanged, so a
// caller gives its default by setting the out-parameter first.
//
// Seeding: at first use, when the environment variable LBC_CONFIG_FILE names a
// file, its lines are loaded (see TEST_LoadFile for the format).

#include <string>
#include <vector>

class XKPlatformInfo {
public:
    XKPlatformInfo() = default;
    ~XKPlatformInfo() = default;

    int getValue(const std::string& key, const std::string& name, unsigned long& value) const;
    int getValue(const std::string& key, const std::string& name, unsigned long long& value) const;
    // A non-null defaultText is stored into value when the value is absent (the
    // answer is still 0); with null, value is left unchanged.
    int getValue(const std::string& key, const std::string& name, std::string& value,
                 const char* defaultText = nullptr) const;
    int getBoolean(const std::string& key, const std::string& name, bool* value) const;
    int getBoolean(const std::string& key, const std::string& name, bool& value) const {
        return getBoolean(key, name, &value);
    }
    // Replaces list with the value's entries. `other`, when given, is emptied
    // on success: this store keeps no second list.
    int getStringList(const std::string& key, const std::string& name, std::vector<std::string>& list,
                      std::vector<std::string>* other) const;
    // Non-zero when a value was removed.
    int deleteField(const std::string& key, const std::string& name) const;

    // The file LBC_CONFIG_FILE named when the store was seeded (empty: the
    // variable was unset or empty), and whether it could be read.
    static std::string getSeedFile(bool& read);

    // This machine's name: gethostname() unless set.
    std::string getPhysicalMachine() const;

    // Where the store reports what it cannot read (a seed-file line, a value
    // that is no boolean): the host's debug log, once the library's logging
    // is set up. Reports made while none is set are kept (the first 64) and
    // handed over when one is set; null stops reporting.
    using NoticeLog = void (*)(const std::string& text);
    static void SetNoticeLog(NoticeLog log);

    // Seeding and inspection, for tests and for hosts that configure the
    // library in-process. All are thread-safe.
    static void TEST_Set(const std::string& key, const std::string& name, const std::string& text);
    static void TEST_SetNumber(const std::string& key, const std::string& name, unsigned long long number);
    // Kept as "1" or "0", so a boolean also reads as a number.
    static void TEST_SetBool(const std::string& key, const std::string& name, bool value);
    static void TEST_SetList(const std::string& key, const std::string& name, const std::vector<std::string>& list);
    static void TEST_Delete(const std::string& key, const std::string& name);
    static bool TEST_Has(const std::string& key, const std::string& name);
    // The value as text; empty when absent.
    static std::string TEST_Get(const std::string& key, const std::string& name);
    // Removes every value and returns the machine identity and the focus to
    // their defaults.
    static void TEST_Clear();

    // Default "/tmp/LiveBrowseCacheJobResults"; an empty path restores it.
    static void TEST_SetJobResultsDirectory(const std::string& path);
    // Default empty (not set).
    static void TEST_SetHubServerHostName(const std::string& name);
    // Default gethostname(); an empty name restores it.
    static void TEST_SetPhysicalMachine(const std::string& name);

    // Loads a configuration file into the store, adding to or replacing what
    // is there; false when the file cannot be read. Format, one entry a line:
    //   # comment (also ";"), at the start of a line or after a blank, also
    //                  behind a value or a section line; blank lines are skipped
    //   [Key]          following names go under Key, e.g.
    //                  [VirtualServer\LiveBrowseCache\Debug]; before any
    //                  section line names go under "VirtualServer"
    //   name=value     blanks around name, value and brackets are trimmed; a list
    //                  value is comma-separated ("sTestLiveBrowseCachePruneAfiles=12,13")
    //   [Platform]     names the machine identity instead of values:
    //                  JobResultsDirectory=, HubServerHostName=, PhysicalMachine=
    // A line of any other shape is stored nowhere and reported to the notice
    // log with the file's path and its line number.
    static bool TEST_LoadFile(const std::string& path);
    // Loads the file named by LBC_CONFIG_FILE again, as first use does; false
    // when the variable is unset or the file cannot be read.
    static bool TEST_ReseedFromEnvironment();
};
