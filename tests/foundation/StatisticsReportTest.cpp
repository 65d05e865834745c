#include "foundation/EvDebugWrapper.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "platform/EvDebug.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

typedef boost::shared_ptr<LBCPerfCounters> SetPtr;
typedef boost::shared_ptr<CPerfCounter> CounterPtr;

const char kEmptyReport[] = "\n[LOCK] \n[CacheDB] \n[DBQuery] \n[DBUpdate] \n[Counters] ";

// Adds time and samples to a counter as one update.
void Feed(const CounterPtr& counter, double seconds, long long samples) {
    counter->UpdateTimer(boost::make_shared<CTimeCounter>(
        CTimeInterval(static_cast<int64_t>(seconds * CTimeInterval::kUnitsPerSecond)), samples));
}

class StatisticsReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_ClearPerJobPerfCounters();
        StoreLogWriterLBC(boost::make_shared<CEvDebugWrapper>(boost::make_shared<EvDebug>()));
        EvDebug::TEST_ClearDebugLevel();
        EvDebug::TEST_StartCapture();
    }
    void TearDown() override {
        EvDebug::TEST_StopCapture();
        EvDebug::TEST_ClearDebugLevel();
        StoreLogWriterLBC(boost::shared_ptr<CLogWriterInterface>());
        TEST_ClearPerJobPerfCounters();
    }

    static std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const EvDebug::CapturedLine& line : EvDebug::TEST_CapturedLines()) texts.push_back(line.text);
        return texts;
    }
    // The lines Log writes for the given pieces of a report.
    static std::vector<std::string> StatsLines(const std::string& tag, const std::vector<std::string>& pieces) {
        std::vector<std::string> lines;
        for (const std::string& piece : pieces) lines.push_back("[LBC" + tag + "] Stats: " + piece);
        lines.push_back("");  // the closing "\n" message, as the engine writes it
        return lines;
    }
    static std::vector<std::string> EmptyPieces() {
        return {"[LOCK] ", "[CacheDB] ", "[DBQuery] ", "[DBUpdate] ", "[Counters] "};
    }
};

TEST_F(StatisticsReportTest, EmptySetShowsOnlyTheFixedHeads) {
    LBCPerfCounters set;
    EXPECT_EQ(kEmptyReport, set.AsString(false));
    EXPECT_EQ(kEmptyReport, set.AsString(true));
}

TEST_F(StatisticsReportTest, LogWritesOneStatsLinePerPieceThenALineFeed) {
    LBCPerfCounters set;
    set.Log(true, false, "");
    EXPECT_EQ(StatsLines("", EmptyPieces()), Texts());
    for (const EvDebug::CapturedLine& line : EvDebug::TEST_CapturedLines()) {
        EXPECT_EQ(0, line.level);
        EXPECT_EQ("", line.function);
        EXPECT_EQ(0u, line.line);
    }

    EvDebug::TEST_StartCapture();
    set.Log(false, false, "pruner");
    EXPECT_EQ(StatsLines("<pruner>", EmptyPieces()), Texts());
}

TEST_F(StatisticsReportTest, SegmentsFollowTheCountersThatCounted) {
    const struct {
        const char* name;
        void (*feed)(LBCPerfCounters&);
        bool detailed;
        std::string expected;  // the text before the fixed heads
        std::string counters;  // the text after "[Counters] "
    } cases[] = {
        {"writer requests with a partial one",
         [](LBCPerfCounters& s) {
             Feed(s.writerRequests, 0, 4);
             Feed(s.partialWrites, 0, 1);
         },
         false, "\n[WRITES] Num extents[4]  partial[1] ", ""},
        {"detailed writer requests",
         [](LBCPerfCounters& s) { Feed(s.writerRequests, 1.5, 4); }, true,
         "\n[WRITES] Num extents[4]  \n[WRITES] Get Writer Object[0:00:01.500][4]  ", ""},
        {"write throughput and item times",
         [](LBCPerfCounters& s) {
             Feed(s.writeTime, 2, 1);
             Feed(s.writeBytes, 0, 3145728);
             Feed(s.itemOpenForWrite, 1, 2);
             Feed(s.itemClose, 0.25, 2);
         },
         false, "Throughput[1.50 MBps] Open[0:00:01.000][2] Close[0:00:00.250][2] ", ""},
        {"no time spent writing: no throughput",
         [](LBCPerfCounters& s) {
             Feed(s.writeTime, 0, 1);
             Feed(s.writeBytes, 0, 1024);
         },
         false, "", ""},
        {"no bytes: no throughput",
         [](LBCPerfCounters& s) { Feed(s.readTime, 1, 1); }, false, "", ""},
        {"reads, not detailed",
         [](LBCPerfCounters& s) {
             Feed(s.itemOpenForRead, 0.1, 3);
             Feed(s.readTime, 4, 3);
             Feed(s.readBytes, 0, 8 * 1024 * 1024);
             Feed(s.readerRequests, 1, 3);
             Feed(s.fullExtentReads, 0, 2);
         },
         false, "\n[READS] Num extents[3]  Throughput[2.00 MBps] ", ""},
        {"reads, detailed",
         [](LBCPerfCounters& s) {
             Feed(s.readerRequests, 1, 3);
             Feed(s.fullExtentReads, 0, 2);
         },
         true, "\n[READS] Get Reader Object[0:00:01.000][3]  full extent request[2] ", ""},
        {"simultaneous and blocked writes",
         [](LBCPerfCounters& s) {
             s.simultaneousWrites = 3;
             s.blockedWrites = 2;
             Feed(s.rewrites, 0, 1);
         },
         false, "", "Rewrites[1] Simultaneous writes[3] Blocked writes[2] "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LBCPerfCounters set;
        c.feed(set);
        EXPECT_EQ(c.expected + kEmptyReport + c.counters, set.AsString(c.detailed));
    }
}

TEST_F(StatisticsReportTest, DatabaseAndLockSegmentsShowTheirLabels) {
    LBCPerfCounters set;
    Feed(set.lockWrite, 1.5, 3);
    Feed(set.lockGetDB, 0.5, 1);
    Feed(set.cacheDBGetExtent, 2, 4);
    Feed(set.dbOpen, 1, 1);
    Feed(set.dbQueryVM, 1, 2);
    Feed(set.dbGetExtents, 9, 9);  // never shown
    Feed(set.dbUpsertVM, 3, 1);
    EXPECT_EQ(
        "\n[LOCK] Write[0:00:01.500] GetDB[0:00:00.500] "
        "\n[CacheDB] GetExtent[0:00:02.000][4] "
        "\n[DBQuery] Open[0:00:01.000][1] VM[0:00:01.000][2] "
        "\n[DBUpdate] UpsertVM[0:00:03.000][1] "
        "\n[Counters] ",
        set.AsString(false));
}

TEST_F(StatisticsReportTest, CounterDescriptionsByFlags) {
    CounterPtr idle = boost::make_shared<CPerfCounter>(0);
    CounterPtr counter = boost::make_shared<CPerfCounter>(0);
    Feed(counter, 3, 2);
    const struct {
        int flags;
        const char* label;
        std::string expected;
    } cases[] = {
        {0, "L", "L "},
        {1, "L", "L[0:00:03.000] "},
        {4, "", "[2] "},
        {2, "", "[avg 0:00:01.500] "},
        {7, "L", "L[0:00:03.000][2][avg 0:00:01.500] "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(c.expected, LBCPerfCounters::GetPerfCounterDescription(counter, c.flags, c.label));
        EXPECT_EQ("", LBCPerfCounters::GetPerfCounterDescription(idle, c.flags, c.label));
    }
    // Time without samples averages over one.
    CounterPtr timeOnly = boost::make_shared<CPerfCounter>(0);
    Feed(timeOnly, 2, 0);
    EXPECT_EQ("[avg 0:00:02.000] ", LBCPerfCounters::GetPerfCounterDescription(timeOnly, 2, ""));
}

TEST_F(StatisticsReportTest, ShareOfOneCounterInAnother) {
    auto counterOf = [](int64_t units) {
        CounterPtr c = boost::make_shared<CPerfCounter>(0);
        c->UpdateTimer(boost::make_shared<CTimeCounter>(CTimeInterval(units), 1));
        return c;
    };
    CounterPtr idle = boost::make_shared<CPerfCounter>(0);
    const struct {
        CounterPtr part, whole;
        int flags;
        std::string expected;
    } cases[] = {
        {counterOf(25), counterOf(100), 5, ""},
        {counterOf(25), counterOf(100), 8, "x[~25%] "},
        {counterOf(99), counterOf(100), 8, "x[~99%] "},
        {counterOf(100), counterOf(100), 8, "x[~100%] "},
        {counterOf(25), counterOf(0), 8, "[]"},
        {counterOf(101), counterOf(100), 8, "[]"},
        {idle, counterOf(100), 8, "[]"},
        {counterOf(1), idle, 8, "[]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(c.expected, LBCPerfCounters::GetPerfCounterDescription(c.part, c.whole, c.flags, "x"));
    }
}

TEST_F(StatisticsReportTest, AsOneMessageCarriesTheReportersSignature) {
    LBCPerfCounters set;
    Feed(set.writerRequests, 0, 2);
    set.LogAsString();
    std::vector<EvDebug::CapturedLine> lines = EvDebug::TEST_CapturedLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].function.find("_Log")) << lines[0].function;
    EXPECT_NE(0u, lines[0].line);
    // The whole report; the engine writes a message as one line, its line feeds as blanks.
    std::string oneLine = set.AsString(false);
    std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
    EXPECT_EQ(oneLine, lines[0].text);
    // Without a reset.
    EXPECT_TRUE(set.writerRequests->IsCounted());
}

TEST_F(StatisticsReportTest, ResetHappensEvenWhenNothingIsWritten) {
    EvDebug::TEST_SetDebugLevel(-1);
    LBCPerfCounters set;
    Feed(set.itemOpenForRead, 1, 2);
    set.blockedWrites = 4;
    set.Log(true, true, "");
    EXPECT_TRUE(Texts().empty());
    EXPECT_FALSE(set.itemOpenForRead->IsCounted());
    EXPECT_EQ(0u, set.blockedWrites.load());
}

TEST_F(StatisticsReportTest, PerJobReportLogsGrownJobsAndTheProcessOnlyWhenAsked) {
    const std::string jobHeader = "Job Stats: [5] " + std::string(53, '+');
    const std::string processHeader = "Process Stats (for last 10 minutes): " + std::string(38, '+');
    PerJobCount(5, LBCPerfCounters::SlotItemOpenForRead);

    LBCPerfCounters::LogPerJobStats(false, false);
    std::vector<std::string> texts = Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(jobHeader, texts[0]);
    EXPECT_EQ("[LBC] Stats: [READS] Num extents[1]  ", texts[1]);
    EXPECT_EQ(1, GetPerJobPerfCounters(5)->lastLoggedCount.load());
    // The process totals are neither logged nor reset.
    EXPECT_TRUE(GetPerJobPerfCounters(0)->itemOpenForRead->IsCounted());
    for (const EvDebug::CapturedLine& line : EvDebug::TEST_CapturedLines()) {
        EXPECT_EQ("", line.function);
        EXPECT_EQ(0u, line.line);
    }

    // Nothing grew: nothing logged.
    EvDebug::TEST_StartCapture();
    LBCPerfCounters::LogPerJobStats(true, false);
    EXPECT_TRUE(Texts().empty());

    // The process report comes first, then its totals start afresh.
    PerJobCount(5, LBCPerfCounters::SlotItemOpenForWrite);
    EvDebug::TEST_StartCapture();
    LBCPerfCounters::LogPerJobStats(false, true);
    texts = Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(processHeader, texts[0]);
    size_t jobAt = 0;
    for (size_t i = 0; i < texts.size(); ++i)
        if (texts[i] == jobHeader) jobAt = i;
    EXPECT_GT(jobAt, 0u);
    SetPtr process = GetPerJobPerfCounters(0);
    EXPECT_FALSE(process->itemOpenForRead->IsCounted());
    EXPECT_EQ(0, process->lastLoggedCount.load());
    EXPECT_EQ(2, GetPerJobPerfCounters(5)->lastLoggedCount.load());

    // After its report the process is logged again only after a new item open.
    EvDebug::TEST_StartCapture();
    LBCPerfCounters::LogPerJobStats(false, true);
    EXPECT_TRUE(Texts().empty());
}

TEST_F(StatisticsReportTest, PerJobReportWalksJobsInAscendingOrder) {
    PerJobCount(9, LBCPerfCounters::SlotItemOpenForRead);
    PerJobCount(3, LBCPerfCounters::SlotItemOpenForRead);
    LBCPerfCounters::LogPerJobStats(false, true);
    std::vector<std::string> headers;
    for (const std::string& text : Texts())
        if (text.find("Job Stats") == 0 || text.find("Process Stats") == 0) headers.push_back(text);
    EXPECT_EQ((std::vector<std::string>{"Process Stats (for last 10 minutes): " + std::string(38, '+'),
                                        "Job Stats: [3] " + std::string(53, '+'),
                                        "Job Stats: [9] " + std::string(53, '+')}),
              headers);
}

TEST_F(StatisticsReportTest, CountsMoveWhenTheLogIsSilent) {
    EvDebug::TEST_SetDebugLevel(-1);
    PerJobCount(4, LBCPerfCounters::SlotItemOpenForRead);
    LBCPerfCounters::LogPerJobStats(true, true);
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(1, GetPerJobPerfCounters(4)->lastLoggedCount.load());
    EXPECT_FALSE(GetPerJobPerfCounters(0)->itemOpenForRead->IsCounted());
}

}  // namespace
