#include "platform/XKPlatformInfo.h"
#include "platform/XKPlatformObjects.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char kKey[] = "VirtualServer";
const char kDebugKey[] = "VirtualServer\\LiveBrowseCache\\Debug";

// Collects what the store reports while it lives.
class NoticeLog {
public:
    NoticeLog() {
        Lines().clear();
        XKPlatformInfo::SetNoticeLog(&Collect);
    }
    ~NoticeLog() { XKPlatformInfo::SetNoticeLog(nullptr); }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }

private:
    static void Collect(const std::string& text) { Lines().push_back(text); }
};

class XKPlatformInfoTest : public ::testing::Test {
protected:
    void SetUp() override { XKPlatformInfo::TEST_Clear(); }
    void TearDown() override { XKPlatformInfo::TEST_Clear(); }

    XKPlatformInfo info;
};

TEST_F(XKPlatformInfoTest, AbsentValueAnswersZeroAndLeavesEveryOutUnchanged) {
    unsigned long ul = 77;
    unsigned long long ull = 88;
    std::string text = "keep";
    bool b = true;
    std::vector<std::string> list = {"keep"};

    EXPECT_EQ(0, info.getValue(kKey, "nMissing", ul));
    EXPECT_EQ(0, info.getValue(kKey, "nMissing", ull));
    EXPECT_EQ(0, info.getValue(kKey, "sMissing", text));
    EXPECT_EQ(0, info.getBoolean(kKey, "bMissing", &b));
    EXPECT_EQ(0, info.getStringList(kKey, "sMissing", list, nullptr));
    EXPECT_EQ(77u, ul);
    EXPECT_EQ(88u, ull);
    EXPECT_EQ("keep", text);
    EXPECT_TRUE(b);
    EXPECT_EQ(std::vector<std::string>{"keep"}, list);

    // A default text is the one way an absent text changes the out-parameter.
    EXPECT_EQ(0, info.getValue(kKey, "sMissing", text, "fallback"));
    EXPECT_EQ("fallback", text);
}

TEST_F(XKPlatformInfoTest, ZeroFalseAndEmptyArePresentValues) {
    XKPlatformInfo::TEST_SetNumber(kKey, "nZero", 0);
    XKPlatformInfo::TEST_SetBool(kKey, "bFalse", false);
    XKPlatformInfo::TEST_Set(kKey, "sEmpty", "");
    XKPlatformInfo::TEST_SetList(kKey, "sNoEntries", {});

    unsigned long long n = 5;
    bool b = true;
    std::string text = "keep";
    std::vector<std::string> list = {"keep"};
    EXPECT_NE(0, info.getValue(kKey, "nZero", n));
    EXPECT_NE(0, info.getBoolean(kKey, "bFalse", &b));
    EXPECT_NE(0, info.getValue(kKey, "sEmpty", text));
    EXPECT_NE(0, info.getStringList(kKey, "sNoEntries", list, nullptr));
    EXPECT_EQ(0u, n);
    EXPECT_FALSE(b);
    EXPECT_EQ("", text);
    EXPECT_TRUE(list.empty());
}

TEST_F(XKPlatformInfoTest, NumbersKeepAllSixtyFourBits) {
    const unsigned long long cases[] = {0ULL, 1ULL, 1ULL << 32, 1ULL << 40, ULLONG_MAX - 1, ULLONG_MAX};
    for (unsigned long long number : cases) {
        XKPlatformInfo::TEST_SetNumber(kKey, "nBig", number);
        unsigned long long ull = 0;
        unsigned long ul = 0;
        std::string text;
        ASSERT_NE(0, info.getValue(kKey, "nBig", ull));
        ASSERT_NE(0, info.getValue(kKey, "nBig", ul));
        ASSERT_NE(0, info.getValue(kKey, "nBig", text));
        EXPECT_EQ(number, ull);
        EXPECT_EQ(number, ul);
        EXPECT_EQ(std::to_string(number), text);
    }
    XKPlatformInfo::TEST_Set(kKey, "nText", "18446744073709551615");
    unsigned long long ull = 0;
    EXPECT_NE(0, info.getValue(kKey, "nText", ull));
    EXPECT_EQ(ULLONG_MAX, ull);
}

TEST_F(XKPlatformInfoTest, TextThatIsNoNumberDoesNotReadAsOne) {
    const char* texts[] = {"18446744073709551616", "-1", "12abc", " 12", "", "0x10", "+5"};
    for (const char* text : texts) {
        XKPlatformInfo::TEST_Set(kKey, "nBad", text);
        unsigned long long ull = 42;
        unsigned long ul = 43;
        EXPECT_EQ(0, info.getValue(kKey, "nBad", ull)) << text;
        EXPECT_EQ(0, info.getValue(kKey, "nBad", ul)) << text;
        EXPECT_EQ(42u, ull) << text;
        EXPECT_EQ(43u, ul) << text;
    }
}

TEST_F(XKPlatformInfoTest, BooleansReadFromBoolNumberAndText) {
    struct Case {
        const char* text;
        bool readable;
        bool value;
    } cases[] = {
        {"true", true, true}, {"TRUE", true, true},  {"False", true, false}, {"1", true, true},
        {"0", true, false},   {"2", true, true},     {"yes", true, true},    {"No", true, false},
        {"ON", true, true},   {"off", true, false},  {"", false, false},     {"tru", false, false},
        {"-1", false, false}, {"y", false, false},
    };
    for (const Case& c : cases) {
        XKPlatformInfo::TEST_Set(kKey, "bFlag", c.text);
        for (bool start : {false, true}) {
            bool b = start;
            EXPECT_EQ(c.readable, info.getBoolean(kKey, "bFlag", &b) != 0) << c.text;
            EXPECT_EQ(c.readable ? c.value : start, b) << c.text;
        }
    }
    XKPlatformInfo::TEST_SetBool(kKey, "bSet", true);
    bool b = false;
    unsigned long n = 0;
    EXPECT_NE(0, info.getBoolean(kKey, "bSet", b));
    EXPECT_TRUE(b);
    EXPECT_NE(0, info.getValue(kKey, "bSet", n));
    EXPECT_EQ(1u, n);
}

TEST_F(XKPlatformInfoTest, KeysAreSeparateAndMatchWithoutCase) {
    XKPlatformInfo::TEST_SetNumber(kDebugKey, "bInsertDelayBeforeAcquireLock", 5);
    unsigned long long n = 0;
    EXPECT_EQ(0, info.getValue(kKey, "bInsertDelayBeforeAcquireLock", n));
    EXPECT_NE(0, info.getValue(kDebugKey, "bInsertDelayBeforeAcquireLock", n));
    EXPECT_EQ(5u, n);
    n = 0;
    EXPECT_NE(0, info.getValue("virtualserver\\livebrowsecache\\DEBUG", "BINSERTDELAYBEFOREACQUIRELOCK", n));
    EXPECT_EQ(5u, n);
}

TEST_F(XKPlatformInfoTest, DeleteRemovesOnlyThatValue) {
    XKPlatformInfo::TEST_SetBool(kKey, "bClearLBCStats", true);
    XKPlatformInfo::TEST_SetBool(kKey, "bOther", true);
    XKPlatformInfo::TEST_SetBool(kDebugKey, "bClearLBCStats", true);

    EXPECT_NE(0, info.deleteField(kKey, "bClearLBCStats"));
    EXPECT_EQ(0, info.deleteField(kKey, "bClearLBCStats"));
    bool b = false;
    EXPECT_EQ(0, info.getBoolean(kKey, "bClearLBCStats", &b));
    EXPECT_FALSE(XKPlatformInfo::TEST_Has(kKey, "bClearLBCStats"));
    EXPECT_TRUE(XKPlatformInfo::TEST_Has(kKey, "bOther"));
    EXPECT_TRUE(XKPlatformInfo::TEST_Has(kDebugKey, "bClearLBCStats"));

    XKPlatformInfo::TEST_Delete(kKey, "bOther");
    EXPECT_FALSE(XKPlatformInfo::TEST_Has(kKey, "bOther"));
}

TEST_F(XKPlatformInfoTest, ListsReadFromListsAndFromCommaText) {
    struct Case {
        const char* text;
        std::vector<std::string> entries;
    } cases[] = {
        {"12", {"12"}},
        {"12,13", {"12", "13"}},
        {" 12 , 13 ,,14, ", {"12", "13", "14"}},
        {"", {}},
        {",", {}},
    };
    for (const Case& c : cases) {
        XKPlatformInfo::TEST_Set(kKey, "sTestLiveBrowseCachePruneAfiles", c.text);
        std::vector<std::string> list = {"stale"};
        std::vector<std::string> other = {"stale"};
        EXPECT_NE(0, info.getStringList(kKey, "sTestLiveBrowseCachePruneAfiles", list, &other)) << c.text;
        EXPECT_EQ(c.entries, list) << c.text;
        EXPECT_TRUE(other.empty());
    }

    // Entries of a list keep their commas and blanks; as text they are joined.
    XKPlatformInfo::TEST_SetList(kKey, "sList", {"a,b", " c "});
    std::vector<std::string> list;
    EXPECT_NE(0, info.getStringList(kKey, "sList", list, nullptr));
    EXPECT_EQ((std::vector<std::string>{"a,b", " c "}), list);
    std::string text;
    EXPECT_NE(0, info.getValue(kKey, "sList", text));
    EXPECT_EQ("a,b, c ", text);
}

TEST_F(XKPlatformInfoTest, MachineIdentityDefaultsAndOverrides) {
    char host[256] = {};
    ASSERT_EQ(0, gethostname(host, sizeof host - 1));
    EXPECT_EQ(std::string(host), info.getPhysicalMachine());
    EXPECT_EQ("/tmp/LiveBrowseCacheJobResults", XKPI_HubClient().getJobResultsDirectory(info.getPhysicalMachine()));
    EXPECT_EQ("", XKPI_PlatformBase().getHubServerHostName());
    EXPECT_EQ("", XKPI_MediaAgent().getHubServerHostName());
    EXPECT_EQ("", XKPI_Focus::getFocus());

    XKPlatformInfo::TEST_SetPhysicalMachine("vsa-01");
    XKPlatformInfo::TEST_SetJobResultsDirectory("/var/jobresults");
    XKPlatformInfo::TEST_SetHubServerHostName("hub.example");
    XKPI_Focus::setFocus("focus-a");
    EXPECT_EQ("vsa-01", info.getPhysicalMachine());
    EXPECT_EQ("/var/jobresults", XKPI_HubClient().getJobResultsDirectory("vsa-01"));
    EXPECT_EQ("hub.example", XKPI_MediaAgent().getHubServerHostName());
    EXPECT_EQ("focus-a", XKPI_Focus::getFocus());

    XKPlatformInfo::TEST_SetPhysicalMachine("");
    XKPlatformInfo::TEST_SetJobResultsDirectory("");
    EXPECT_EQ(std::string(host), info.getPhysicalMachine());
    EXPECT_EQ("/tmp/LiveBrowseCacheJobResults", XKPI_HubClient().getJobResultsDirectory(host));

    XKPlatformInfo::TEST_SetHubServerHostName("hub.example");
    XKPlatformInfo::TEST_Clear();
    EXPECT_EQ("", XKPI_PlatformBase().getHubServerHostName());
    EXPECT_EQ("", XKPI_Focus::getFocus());
}

TEST_F(XKPlatformInfoTest, ConfigurationFileSeedsValuesAndIdentity) {
    TempDir dir;
    std::string path = dir.sub("lbc.conf");
    WriteWholeFile(path,
                   "# live browse cache settings\n"
                   "nLiveBrowseCacheMaxSizeInGB = 20\n"
                   "bEnableLiveBrowseCache=false\r\n"
                   "sTestLiveBrowseCachePruneAfiles=12, 13\n"
                   "sLiveBrowseCacheLocation=/data/cache=x\n"
                   "; another comment\n"
                   "\n"
                   "no equals sign here\n"
                   "=no name\n"
                   "[VirtualServer\\LiveBrowseCache\\Debug]\n"
                   "bInsertDelayBeforeAcquireLock=5\n"
                   "[Platform]\n"
                   "JobResultsDirectory=/srv/jr\n"
                   "HubServerHostName=hub1\n"
                   "PhysicalMachine=host1\n"
                   "[ VirtualServer ]\n"
                   "nBig=18446744073709551615\n");
    ASSERT_TRUE(XKPlatformInfo::TEST_LoadFile(path));

    unsigned long long n = 0;
    bool b = true;
    std::string text;
    std::vector<std::string> list;
    EXPECT_NE(0, info.getValue(kKey, "nLiveBrowseCacheMaxSizeInGB", n));
    EXPECT_EQ(20u, n);
    EXPECT_NE(0, info.getBoolean(kKey, "bEnableLiveBrowseCache", &b));
    EXPECT_FALSE(b);
    EXPECT_NE(0, info.getStringList(kKey, "sTestLiveBrowseCachePruneAfiles", list, nullptr));
    EXPECT_EQ((std::vector<std::string>{"12", "13"}), list);
    EXPECT_NE(0, info.getValue(kKey, "sLiveBrowseCacheLocation", text));
    EXPECT_EQ("/data/cache=x", text);
    EXPECT_NE(0, info.getValue(kDebugKey, "bInsertDelayBeforeAcquireLock", n));
    EXPECT_EQ(5u, n);
    EXPECT_EQ(0, info.getValue(kKey, "bInsertDelayBeforeAcquireLock", n));
    EXPECT_NE(0, info.getValue(kKey, "nBig", n));
    EXPECT_EQ(ULLONG_MAX, n);
    EXPECT_FALSE(XKPlatformInfo::TEST_Has("Platform", "JobResultsDirectory"));
    EXPECT_EQ("/srv/jr", XKPI_HubClient().getJobResultsDirectory("host1"));
    EXPECT_EQ("hub1", XKPI_PlatformBase().getHubServerHostName());
    EXPECT_EQ("host1", info.getPhysicalMachine());

    EXPECT_FALSE(XKPlatformInfo::TEST_LoadFile(dir.sub("missing.conf")));
}

// The sample of the README's Configuration section, copied as it stands.
TEST_F(XKPlatformInfoTest, ReadmeSampleConfigurationReadsAsDocumented) {
    TempDir dir;
    const std::string path = dir.sub("lbc.conf");
    WriteWholeFile(path,
                   "# comments start with # or ;\n"
                   "nLBCDebugLevel=2                 # names before any section go under VirtualServer\n"
                   "[VirtualServer\\LiveBrowseCache\\Debug]\n"
                   "bInsertDelayBeforeAcquireLock=0\n"
                   "[Platform]                       # machine identity\n"
                   "JobResultsDirectory=/var/lib/jobresults\n"
                   "HubServerHostName=control.example\n"
                   "PhysicalMachine=host1\n");
    NoticeLog notices;
    ASSERT_TRUE(XKPlatformInfo::TEST_LoadFile(path));

    std::string text;
    EXPECT_NE(0, info.getValue(kKey, "nLBCDebugLevel", text));
    EXPECT_EQ("2", text);
    unsigned long long n = 9;
    EXPECT_NE(0, info.getValue(kDebugKey, "bInsertDelayBeforeAcquireLock", n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ("/var/lib/jobresults", XKPI_HubClient().getJobResultsDirectory("host1"));
    EXPECT_EQ("control.example", XKPI_PlatformBase().getHubServerHostName());
    EXPECT_EQ("host1", info.getPhysicalMachine());
    EXPECT_FALSE(XKPlatformInfo::TEST_Has(kDebugKey, "JobResultsDirectory"));
    EXPECT_TRUE(notices.Lines().empty());
}

// Comments after a value or a section name, blanks around "=" and the
// brackets; a "#" inside a value is kept. A line of no known shape is named in
// the log with its file and line number and stored nowhere.
TEST_F(XKPlatformInfoTest, ConfigurationFileCommentsBlanksAndUnreadableLines) {
    TempDir dir;
    const std::string path = dir.sub("lbc.conf");
    WriteWholeFile(path,
                   "  nLBCPruningInterval   =   60\t; every minute\n"
                   "sLBCLogFolder=/logs/#1 # the folder\n"
                   "  [  VirtualServer\\LiveBrowseCache\\Debug  ]  ; delays\n"
                   "bInsertDelayAfterAcquireLock = 3 #\n"
                   "no equals sign here\n"
                   "[Platform\n"
                   "[]\n"
                   "=no name\n"
                   "[Platform] ; identity\n"
                   "Unknown=1\n");
    NoticeLog notices;
    ASSERT_TRUE(XKPlatformInfo::TEST_LoadFile(path));

    std::string text;
    EXPECT_NE(0, info.getValue(kKey, "nLBCPruningInterval", text));
    EXPECT_EQ("60", text);
    EXPECT_NE(0, info.getValue(kKey, "sLBCLogFolder", text));
    EXPECT_EQ("/logs/#1", text);
    EXPECT_NE(0, info.getValue(kDebugKey, "bInsertDelayAfterAcquireLock", text));
    EXPECT_EQ("3", text);
    EXPECT_FALSE(XKPlatformInfo::TEST_Has(kDebugKey, "no equals sign here"));
    EXPECT_FALSE(XKPlatformInfo::TEST_Has("Platform", "Unknown"));
    const std::vector<std::string> expected = {
        "Cannot read line 5 of the configuration file [" + path + "]: [no equals sign here]",
        "Cannot read line 6 of the configuration file [" + path + "]: [[Platform]",
        "Cannot read line 7 of the configuration file [" + path + "]: [[]]",
        "Cannot read line 8 of the configuration file [" + path + "]: [=no name]",
        "Cannot read line 10 of the configuration file [" + path + "]: [Unknown=1]",
    };
    EXPECT_EQ(expected, notices.Lines());
}

// A text that is no boolean is named once in the log and read as absent.
TEST_F(XKPlatformInfoTest, UnreadableBooleanIsNamedOnce) {
    NoticeLog notices;
    std::vector<std::string> expected;
    for (const char* text : {"maybe", "", "-1"}) {
        XKPlatformInfo::TEST_Set(kKey, "bEnableLBCReadForValidation", text);
        for (int pass = 0; pass < 2; ++pass) {
            bool value = true;
            EXPECT_EQ(0, info.getBoolean(kKey, "bEnableLBCReadForValidation", &value)) << text;
            EXPECT_TRUE(value);
        }
        expected.push_back(std::string("Configuration value [VirtualServer\\bEnableLBCReadForValidation] = [") +
                           text + "] is not a boolean; taken as absent");
    }
    EXPECT_EQ(expected, notices.Lines());
}

TEST_F(XKPlatformInfoTest, EnvironmentVariableNamesTheSeedFile) {
    TempDir dir;
    std::string path = dir.sub("env.conf");
    WriteWholeFile(path, "nLBCPruningInterval=60\n");

    unsetenv("LBC_CONFIG_FILE");
    EXPECT_FALSE(XKPlatformInfo::TEST_ReseedFromEnvironment());
    setenv("LBC_CONFIG_FILE", path.c_str(), 1);
    EXPECT_TRUE(XKPlatformInfo::TEST_ReseedFromEnvironment());
    unsetenv("LBC_CONFIG_FILE");

    unsigned long n = 300;
    EXPECT_NE(0, info.getValue(kKey, "nLBCPruningInterval", n));
    EXPECT_EQ(60u, n);
}

TEST_F(XKPlatformInfoTest, ConcurrentSettersDeletersAndReadersStayConsistent) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &torn] {
            XKPlatformInfo reader;
            std::string own = "nOwn" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                // A shared value that every thread rewrites and deletes.
                XKPlatformInfo::TEST_SetNumber(kKey, "nShared", (1ULL << 40) + static_cast<unsigned>(t));
                unsigned long long shared = 0;
                if (reader.getValue(kKey, "nShared", shared) && (shared >> 40) != 1) torn = true;
                if (i % 3 == 0) reader.deleteField(kKey, "nShared");
                XKPlatformInfo::TEST_SetList(kKey, "sList", {std::to_string(i), std::to_string(i)});
                std::vector<std::string> list;
                if (reader.getStringList(kKey, "sList", list, nullptr) && (list.size() != 2 || list[0] != list[1]))
                    torn = true;

                XKPlatformInfo::TEST_SetNumber(kKey, own, static_cast<unsigned long long>(i));
                unsigned long long mine = ULLONG_MAX;
                if (!reader.getValue(kKey, own, mine) || mine != static_cast<unsigned long long>(i)) torn = true;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_FALSE(torn.load());
    for (int t = 0; t < kThreads; ++t) {
        unsigned long long n = 0;
        EXPECT_NE(0, info.getValue(kKey, "nOwn" + std::to_string(t), n));
        EXPECT_EQ(static_cast<unsigned long long>(kRounds - 1), n);
    }
}

}  // namespace
