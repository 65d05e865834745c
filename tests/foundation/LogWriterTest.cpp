#include "LiveBrowseCache.h"
#include "foundation/EvDebugWrapper.h"
#include "foundation/LogWriter.h"
#include "platform/EvDebug.h"
#include "platform/XKPlatformInfo.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char kKey[] = "VirtualServer";

std::vector<std::string> FileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(path));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

class LogWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        XKPlatformInfo::TEST_Clear();
        XKPlatformInfo::TEST_Set(kKey, "sLBCLogFolder", dir.path());
        EvDebug::TEST_FailNextInitialize(false);
        EvDebug::TEST_ClearDebugLevel();
        StoreLogWriterLBC(boost::shared_ptr<CLogWriterInterface>());
        EvDebug::TEST_StartCapture();
    }
    void TearDown() override {
        EvDebug::TEST_StopCapture();
        EvDebug::TEST_ClearDebugLevel();
        EvDebug::TEST_FailNextInitialize(false);
        StoreLogWriterLBC(boost::shared_ptr<CLogWriterInterface>());
        XKPlatformInfo::TEST_Clear();
    }

    static std::vector<int> CapturedLevels() {
        std::vector<int> levels;
        for (const EvDebug::CapturedLine& line : EvDebug::TEST_CapturedLines()) levels.push_back(line.level);
        return levels;
    }

    static void LogEveryLevel() {
        LBC_LOG(-1, "level %d", -1);
        LBC_LOG(0, "level %d", 0);
        LBC_LOG(1, "level %d", 1);
        LBC_LOG(2, "level %d", 2);
        LBC_LOG(3, "level %d", 3);
        LBC_LOG(4, "level %d", 4);
        LBC_LOG(5, "level %d", 5);
    }

    std::string LogFile() const { return dir.sub("LiveBrowseCache.log"); }

    TempDir dir;
};

TEST_F(LogWriterTest, ConfiguredLevelDecidesWhichLinesAreWritten) {
    struct Case {
        const char* configured;  // null: the value is absent
        std::vector<int> written;
    } cases[] = {
        {nullptr, {-1, 0}},
        {"0", {-1, 0}},
        {"-1", {-1}},
        {"-2", {}},
        {"3", {-1, 0, 1, 2, 3}},
        {"5", {-1, 0, 1, 2, 3, 4, 5}},
        {"level", {-1, 0}},
    };
    for (const Case& c : cases) {
        if (c.configured != nullptr) {
            XKPlatformInfo::TEST_Set(kKey, "nLBCDebugLevel", c.configured);
        } else {
            XKPlatformInfo::TEST_Delete(kKey, "nLBCDebugLevel");
        }
        ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
        EvDebug::TEST_StartCapture();
        LogEveryLevel();
        EXPECT_EQ(c.written, CapturedLevels()) << (c.configured ? c.configured : "(absent)");
        for (const EvDebug::CapturedLine& line : EvDebug::TEST_CapturedLines())
            EXPECT_EQ("level " + std::to_string(line.level), line.text);
    }
}

TEST_F(LogWriterTest, ArgumentsAreEvaluatedOnlyWhenTheLineIsWritten) {
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    int evaluated = 0;
    auto expensive = [&evaluated] {
        ++evaluated;
        return std::string("error text");
    };
    LBC_LOG(1, "failed (error=%s)", expensive().c_str());
    LBC_LOG(5, "failed (error=%s)", expensive().c_str());
    EXPECT_EQ(0, evaluated);
    EXPECT_TRUE(EvDebug::TEST_CapturedLines().empty());

    LBC_LOG(-1, "failed (error=%s)", expensive().c_str());
    EXPECT_EQ(1, evaluated);
    ASSERT_EQ(1u, EvDebug::TEST_CapturedLines().size());
    EXPECT_EQ("failed (error=error text)", EvDebug::TEST_CapturedLines()[0].text);

    // Nor while there is no writer at all.
    StoreLogWriterLBC(boost::shared_ptr<CLogWriterInterface>());
    LBC_LOG(-1, "failed (error=%s)", expensive().c_str());
    EXPECT_EQ(1, evaluated);
}

TEST_F(LogWriterTest, LineCarriesSignatureAndSourceLineIntoTheLogFile) {
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    LBC_LOG(-1, "Failed to open [%s], error=%d", "/x/lockfile", 13); const unsigned line = __LINE__;
    const std::string function = __PRETTY_FUNCTION__;

    std::vector<EvDebug::CapturedLine> captured = EvDebug::TEST_CapturedLines();
    ASSERT_EQ(1u, captured.size());
    EXPECT_EQ(-1, captured[0].level);
    EXPECT_EQ(function, captured[0].function);
    EXPECT_EQ(line, captured[0].line);
    EXPECT_EQ(0u, captured[0].jobId);
    EXPECT_EQ("Failed to open [/x/lockfile], error=13", captured[0].text);

    std::vector<std::string> lines = FileLines(LogFile());
    ASSERT_EQ(1u, lines.size());
    std::string expectedTail = " -1 [" + function + ":" + std::to_string(line) + "] Failed to open [/x/lockfile], error=13";
    ASSERT_GE(lines[0].size(), expectedTail.size());
    EXPECT_EQ(expectedTail, lines[0].substr(lines[0].size() - expectedTail.size()));
    std::regex head(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\d+) \d+ -1 \[.*)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, head)) << lines[0];
    EXPECT_EQ(std::to_string(getpid()), m[1].str());
}

TEST_F(LogWriterTest, StatisticsLinesHaveNoSignatureAndLineZero) {
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    LBC_LOG_STATS("[LBC%s] Stats: %s", "", "Reads[3]");
    std::vector<EvDebug::CapturedLine> captured = EvDebug::TEST_CapturedLines();
    ASSERT_EQ(1u, captured.size());
    EXPECT_EQ(0, captured[0].level);
    EXPECT_EQ("", captured[0].function);
    EXPECT_EQ(0u, captured[0].line);
    EXPECT_EQ("[LBC] Stats: Reads[3]", captured[0].text);

    // A level below 0 silences them too.
    EvDebug::TEST_SetDebugLevel(-1);
    LBC_LOG_STATS("[LBC%s] Stats: %s", "", "Reads[4]");
    EXPECT_EQ(1u, EvDebug::TEST_CapturedLines().size());
}

TEST_F(LogWriterTest, MessageWithLineBreaksStaysOneLine) {
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    LBC_LOG(0, "first\nsecond\n");
    std::vector<std::string> lines = FileLines(LogFile());
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("] first second"));
    EXPECT_EQ("first second", EvDebug::TEST_CapturedLines().at(0).text);
}

TEST_F(LogWriterTest, WriterWithoutEngineAnswersZeroAndDropsLines) {
    boost::shared_ptr<CEvDebugWrapper> writer(new CEvDebugWrapper(boost::shared_ptr<EvDebug>()));
    EXPECT_EQ(0, writer->GetDebugLevel());
    writer->SetDebugLevel(5);
    EXPECT_EQ(0, writer->GetDebugLevel());
    writer->RefreshConfiguration();
    writer->LogMessage(-1, "f", 1, 0, nullptr, "dropped %d", 1);

    StoreLogWriterLBC(writer);
    LBC_LOG(-1, "dropped %d", 2);
    LBC_LOG(0, "dropped %d", 3);
    LBC_LOG_STATS("dropped %d", 4);
    EXPECT_TRUE(EvDebug::TEST_CapturedLines().empty());

    boost::shared_ptr<CLogWriterInterfaceThreadWrapper> attachment = writer->GetThreadAttachment();
    auto* thread = dynamic_cast<CEvDebugThreadInstanceWrapper*>(attachment.get());
    ASSERT_NE(nullptr, thread);
    EXPECT_FALSE(thread->Engine());
    EXPECT_FALSE(thread->ThreadInstance());
}

TEST_F(LogWriterTest, FailedInitializationKeepsTheEarlierWriter) {
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    boost::shared_ptr<CLogWriterInterface> first = LoadLogWriterLBC();
    ASSERT_TRUE(first);

    EvDebug::TEST_FailNextInitialize(true);
    EXPECT_FALSE(CLiveBrowseCache::InitializeLogging());
    EXPECT_EQ(first, LoadLogWriterLBC());
    LBC_LOG(0, "still logging");
    ASSERT_EQ(1u, EvDebug::TEST_CapturedLines().size());
    EXPECT_EQ("still logging", EvDebug::TEST_CapturedLines()[0].text);

    // The failure was for one call only.
    EXPECT_TRUE(CLiveBrowseCache::InitializeLogging());
    EXPECT_NE(first, LoadLogWriterLBC());
}

TEST_F(LogWriterTest, FailedFirstInitializationLeavesNoWriter) {
    EvDebug::TEST_FailNextInitialize(true);
    EXPECT_FALSE(CLiveBrowseCache::InitializeLogging());
    EXPECT_FALSE(LoadLogWriterLBC());
    LBC_LOG(-1, "nowhere");
    EXPECT_TRUE(EvDebug::TEST_CapturedLines().empty());
}

TEST_F(LogWriterTest, NewWriterIsNamedAndFollowsTheConfiguration) {
    XKPlatformInfo::TEST_Set(kKey, "nLBCDebugLevel", "2");
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    boost::shared_ptr<CLogWriterInterface> writer = LoadLogWriterLBC();
    auto* base = dynamic_cast<CLogWriterWrapperBase*>(writer.get());
    ASSERT_NE(nullptr, base);
    EXPECT_EQ("LiveBrowseCache", base->GetLogAppName());
    EXPECT_EQ(2, writer->GetDebugLevel());

    XKPlatformInfo::TEST_Set(kKey, "nLBCDebugLevel", "4");
    EXPECT_EQ(2, writer->GetDebugLevel());
    writer->RefreshConfiguration();
    EXPECT_EQ(4, writer->GetDebugLevel());
    writer->SetDebugLevel(1);
    EXPECT_EQ(1, writer->GetDebugLevel());

    EvDebug::TEST_SetDebugLevel(5);
    EXPECT_EQ(5, writer->GetDebugLevel());
    EvDebug::TEST_ClearDebugLevel();
    EXPECT_EQ(1, writer->GetDebugLevel());
}

TEST_F(LogWriterTest, UnusableLogFolderStillGivesAWriter) {
    WriteWholeFile(dir.sub("plain-file"), "x");
    XKPlatformInfo::TEST_Set(kKey, "sLBCLogFolder", dir.sub("plain-file/logs"));
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    LBC_LOG(-1, "kept in memory");
    EXPECT_EQ(1u, EvDebug::TEST_CapturedLines().size());
}

TEST_F(LogWriterTest, ThreadAttachmentKeepsItsEngineAfterTheWriterIsReplaced) {
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    boost::shared_ptr<CLogWriterInterfaceThreadWrapper> attachment = LoadLogWriterLBC()->GetThreadAttachment();
    auto* thread = dynamic_cast<CEvDebugThreadInstanceWrapper*>(attachment.get());
    ASSERT_NE(nullptr, thread);
    ASSERT_TRUE(thread->Engine());
    ASSERT_TRUE(thread->ThreadInstance());
    EXPECT_EQ(&g_dbgLBCInst, thread->ThreadInstance()->FileInstance());

    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    EXPECT_EQ(1, thread->Engine().use_count());
    CEvDebugWrapper oldEngineWriter(thread->Engine());
    oldEngineWriter.LogMessage(0, "f", 7, 12, "ctx", "from the old engine");
    std::vector<EvDebug::CapturedLine> captured = EvDebug::TEST_CapturedLines();
    ASSERT_EQ(1u, captured.size());
    EXPECT_EQ(12u, captured[0].jobId);
    std::vector<std::string> lines = FileLines(LogFile());
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" 0 [f:7] job=12 <ctx> from the old engine"));
}

TEST_F(LogWriterTest, EngineRefusesNullInstanceAndForeignCaller) {
    EvDebugFileInstance file;
    EvDebug engine;
    EXPECT_EQ(nullptr, engine.GetFileInstance());
    EXPECT_EQ(0, engine.initialize(nullptr, EvDebug::kMagic, 0, false, ""));
    EXPECT_EQ(0, engine.initialize(&file, 0x12345678, 0, false, ""));
    EXPECT_EQ(nullptr, engine.GetFileInstance());
    EXPECT_NE(0, engine.initialize(&file, 0x6609076E, 0, false, "other.log"));
    EXPECT_EQ(&file, engine.GetFileInstance());
    engine.refreshAllParams();
    EXPECT_EQ(dir.sub("other.log"), file.Path());

    XKPlatformInfo::TEST_SetPhysicalMachine("vsa-07");
    EXPECT_EQ("vsa-07", EvDebug::getClientName());
}

TEST_F(LogWriterTest, ThreadsLogWholeLinesWhileTheWriterIsReplaced) {
    constexpr int kThreads = 6;
    constexpr int kLines = 400;
    TempDir other;
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());

    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &finished] {
            for (int i = 0; i < kLines; ++i) LBC_LOG(0, "worker %d line %d of a longer message text", t, i);
            ++finished;
        });
    }
    // Replace the writer, switching between two log folders, until every
    // worker is done, and at least a few times.
    int replacements = 0;
    while (finished.load() < kThreads || replacements < 20) {
        XKPlatformInfo::TEST_Set(kKey, "sLBCLogFolder", replacements % 2 == 0 ? other.path() : dir.path());
        bool initialized = CLiveBrowseCache::InitializeLogging();
        EXPECT_TRUE(initialized);
        if (!initialized) break;
        ++replacements;
    }
    for (std::thread& th : threads) th.join();

    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), EvDebug::TEST_CapturedLines().size());

    std::regex whole(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ 0 \[.*:\d+\] worker (\d) line (\d+) of a longer message text$)");
    std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kLines, false));
    size_t total = 0;
    for (const std::string& path : {LogFile(), other.sub("LiveBrowseCache.log")}) {
        for (const std::string& line : FileLines(path)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
            int t = std::stoi(m[1].str());
            int i = std::stoi(m[2].str());
            ASSERT_LT(t, kThreads);
            ASSERT_LT(i, kLines);
            EXPECT_FALSE(seen[t][i]);
            seen[t][i] = true;
            ++total;
        }
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), total);
}

}  // namespace
