#include "CAutoMemory.h"
#include "CTimeStamp.h"
#include "auto_handle.h"
#include "platform/FXString.h"
#include "platform/SystemClock.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <unistd.h>

namespace {

TEST(AutoMemory, AllocateReusesAndZeroKeepsBuffer) {
    CAutoMemory<char> buf(true);
    EXPECT_EQ(nullptr, buf.Ptr());
    char* first = buf.Allocate(100);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(100u, buf.Size());

    EXPECT_EQ(nullptr, buf.Allocate(0));
    EXPECT_EQ(0u, buf.Size());
    EXPECT_EQ(nullptr, buf.Ptr());  // held, but no valid bytes

    EXPECT_EQ(first, buf.Allocate(60));
    EXPECT_EQ(first, buf.Allocate(100));
    EXPECT_EQ(100u, buf.Capacity());
    char* bigger = buf.Allocate(101);
    ASSERT_NE(nullptr, bigger);
    EXPECT_EQ(101u, buf.Capacity());
}

TEST(AutoMemory, ReAllocateKeepsValidBytes) {
    CAutoMemory<char> buf(true);
    char* p = buf.Allocate(4);
    memcpy(p, "abcd", 4);
    char* q = buf.ReAllocate(1000);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(0, memcmp(q, "abcd", 4));
    EXPECT_EQ(1000u, buf.Size());
}

TEST(AutoMemory, LinkedMemoryIsBorrowedNeverFreedOrGrown) {
    char host[100];
    CAutoMemory<char> buf(true);
    buf.Allocate(10);  // owned buffer released by Link
    buf.Link(host, sizeof host);
    EXPECT_EQ(host, buf.Ptr());
    EXPECT_EQ(host, buf.Allocate(40));
    EXPECT_EQ(40u, buf.Size());
    EXPECT_EQ(nullptr, buf.Allocate(101));  // past the lent length
    EXPECT_EQ(nullptr, buf.ReAllocate(101));

    char* out = nullptr;
    uint64_t capacity = 0;
    buf.Unlink(&out, &capacity);
    EXPECT_EQ(host, out);
    EXPECT_EQ(100u, capacity);  // the capacity, not the size
    EXPECT_EQ(0u, buf.Size());
    // Destruction now frees nothing of the host's (ASan would catch it).
}

TEST(AutoHandle, ResetClosesHeldDescriptorOnlyWhenReplaced) {
    int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        auto_handle h;
        EXPECT_FALSE(h.is_valid());
        h.reset();  // holds -1: closes nothing
        h.reset(fd);
        h.reset(fd);  // same descriptor: must stay open
        EXPECT_NE(-1, fcntl(fd, F_GETFD));
        int other = ::open("/dev/null", O_RDONLY);
        h.reset(other);
        EXPECT_EQ(-1, fcntl(fd, F_GETFD));  // replaced: closed
        fd = other;
    }
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));  // destructor closed it
}

TEST(TimeStamp, UnixConversionsAndSpecialStamps) {
    EXPECT_TRUE(CTimeStamp::FromUnixTime(0).IsClear());
    EXPECT_EQ(0, CTimeStamp::FromUnixTime(0).AsUnixTime());
    EXPECT_EQ(116444736000000000LL + 10000000LL * 1700000000LL,
              CTimeStamp::FromUnixTime(1700000000).AsSystemTime());
    EXPECT_EQ(1700000000, CTimeStamp::FromUnixTime(1700000000).AsUnixTime());
    EXPECT_EQ(-1, CTimeStamp(116444736000000000LL - 10000000LL).AsUnixTime());
    EXPECT_EQ(0, CTimeStamp(116444736000000000LL - 1).AsUnixTime());  // toward zero
    EXPECT_EQ(INT64_MAX, CTimeStamp(INT64_MAX).AsUnixTime());
    EXPECT_TRUE(CTimeStamp(INT64_MAX).IsFilled());
}

TEST(TimeInterval, SecondsAndDivision) {
    EXPECT_EQ(30 * 10000000LL, CTimeInterval::FromSeconds(30).As100NSIntervals());
    EXPECT_DOUBLE_EQ(1.5, CTimeInterval(15000000).AsSeconds());
    EXPECT_EQ(3, (CTimeInterval(10) / 3.0).As100NSIntervals());
    EXPECT_EQ(-3, (CTimeInterval(-10) / 3.0).As100NSIntervals());
    EXPECT_EQ("1:01:01.500", CTimeInterval::FromSeconds(3661).operator+(CTimeInterval(5000000)).AsString());
}

// A quotient beyond 64 bits (a division by 0 among them) saturates, and 0 / 0
// gives 0, instead of an undefined conversion.
TEST(TimeInterval, DivisionOutOfRangeIsDefined) {
    const struct {
        int64_t units;
        double divisor;
        int64_t expected;
    } cases[] = {
        {10, 0.0, INT64_MAX},       {-10, 0.0, INT64_MIN},        {10, -0.0, INT64_MIN},
        {0, 0.0, 0},                {INT64_MAX, 1e-300, INT64_MAX}, {INT64_MIN, 1e-300, INT64_MIN},
        {10, std::nan(""), 0},      {INT64_MAX, 1.0, INT64_MAX},  {100, 1e300, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, (CTimeInterval(c.units) / c.divisor).As100NSIntervals())
            << c.units << " / " << c.divisor;
}

TEST(SystemClockSeam, FrozenClockMovesOnlyWhenAdvanced) {
    SystemClock::TEST_Freeze(1800000000);
    EXPECT_EQ(1800000000, SystemClock::Time());
    EXPECT_EQ(1800000000, CTimeStamp::Now().AsUnixTime());
    SystemClock::TEST_AdvanceSeconds(86400);
    EXPECT_EQ(1800086400, SystemClock::Time());
    SystemClock::TEST_Reset();
    EXPECT_LE(std::abs(static_cast<long long>(SystemClock::Time() - ::time(nullptr))), 2);
}

TEST(StringHelpers, PrefixAndCaseRules) {
    struct Case {
        const char* s;
        const char* prefix;
        bool left, leftNoCase;
    } cases[] = {
        {"afile_1", "", true, true},
        {"afile_1", "afile", true, true},
        {"AFILE_1", "afile", false, true},
        {"af", "afile", false, false},
        {"pruned.1.cache", "pruned.", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.left, FXString::MatchLeft(c.s, c.prefix)) << c.s << " / " << c.prefix;
        EXPECT_EQ(c.leftNoCase, FXString::MatchLeftNoCase(c.s, c.prefix)) << c.s << " / " << c.prefix;
    }
    EXPECT_TRUE(FXString::MatchesNoCase("ABC-def", "abc-DEF"));
    EXPECT_FALSE(FXString::MatchesNoCase("abc", "abcd"));
    const std::string path = "/x/DATA/ab/afile_1_2_3";
    EXPECT_EQ(path.c_str() + 3, FXString::FindString(path, "data", true));
    EXPECT_EQ(nullptr, FXString::FindString(path, "data", false));
}

TEST(StringHelpers, SplitReplaceFormat) {
    std::vector<std::string> parts;
    FXString::Split("IP|host|||a|/mnt", "|", parts);
    ASSERT_EQ(6u, parts.size());
    EXPECT_EQ("", parts[2]);
    EXPECT_EQ("/mnt", parts[5]);
    FXString::Split("a,,b", ",", parts, true);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), parts);
    EXPECT_EQ("x--y--", FXString::CopyAndReplaceAll("x//y//", "/", "-"));
    EXPECT_EQ("C1", FXString::ToUpper("c1"));
    EXPECT_EQ("812_1_2.cache", FXString::Format("%llu_%u_%u.cache", 812ULL, 1u, 2u));
    std::string longText(2000, 'z');
    EXPECT_EQ(longText, FXString::Format("%s", longText.c_str()));
}

TEST(StringHelpers, AppendDecimalPrintsAsPrintf) {
    for (unsigned long long value : {0ULL, 7ULL, 10ULL, 4096ULL, 4294967295ULL, 9223372036854775808ULL,
                                     18446744073709551615ULL}) {
        std::string text = "x:";
        FXString::AppendDecimal(text, value);
        EXPECT_EQ(FXString::Format("x:%llu", value), text);
    }
}

}  // namespace
