#include "platform/CPathMatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(CPathMatch, WildcardsOverOneName) {
    struct Case {
        const char* pattern;
        const char* name;
        bool ignoreCase;
        bool crossDelimiter;
        int expected;
    } cases[] = {
        {"*.db", "afile_cache.db", true, false, 1},
        {"*.db", "afile_cache.db-journal", true, false, 0},
        {"*.db", ".db", true, false, 1},
        {"*.db", "x.DB", true, false, 1},
        {"*.db", "x.DB", false, false, 0},
        {"afile_cache.db", "AFILE_CACHE.DB", true, false, 1},
        {"afile_cache.db", "afile_cache.dbx", true, false, 0},
        {"*", "anything at all", true, false, 1},
        {"*", "", true, false, 1},
        {"**", "", true, false, 1},
        {"?", "", true, false, 0},
        {"?", "a", true, false, 1},
        {"??", "a", true, false, 0},
        {"a?c", "abc", false, false, 1},
        {"a*b*c", "aXXbYYc", false, false, 1},
        {"a*b*c", "aXXbYY", false, false, 0},
        {"*a", "aaaa", false, false, 1},
        {"*ab*ab", "xabyab", false, false, 1},
        {"", "", true, false, 1},
        {"", "a", true, false, 0},
        {"*", "a/b", true, false, 0},
        {"*", "a/b", true, true, 1},
        {"a?b", "a/b", true, false, 0},
        {"a/*", "a/b", true, false, 1},
        {"[ab]", "[ab]", false, false, 1},  // brackets are plain characters
    };
    for (const Case& c : cases) {
        CPathMatch m;
        m.setDelimiter('/');
        ASSERT_FALSE(m.initialize(c.pattern, c.ignoreCase, c.crossDelimiter).IsError());
        EXPECT_EQ(m.match(c.name), c.expected)
            << "pattern [" << c.pattern << "] name [" << c.name << "] ignoreCase " << c.ignoreCase;
    }
}

TEST(CPathMatch, UninitialisedMatchesNothing) {
    CPathMatch m;
    EXPECT_EQ(m.match("x"), 0);
    EXPECT_EQ(m.match(""), 0);
}

TEST(CPathMatch, OneMatcherServesManyThreads) {
    CPathMatch m;
    m.setDelimiter('/');
    ASSERT_FALSE(m.initialize("*_cache.db", true, false).IsError());
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (m.match("afile_cache.db") != 1) ++wrong;
                if (m.match("afile_cache.txt") != 0) ++wrong;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
