// The pruner object: configuration, names, thresholds and its thread's start and stop.

#include "support/ServiceFixture.h"

#include "metadb/CacheDB.h"
#include "platform/XKPlatformInfo.h"
#include "pruning/CacheDBPruner.h"
#include "pruning/CacheDataPruner.h"
#include "pruning/CachePruner.h"

#include <boost/make_shared.hpp>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

typedef CachePruner P;

class CachePrunerTest : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        MakeLocalLocation(temp.sub("loc"), cache, db);
    }
    void TearDown() override {
        db.reset();
        cache.reset();
        ServiceFixture::TearDown();
    }

    CachePrunerPtr NewPruner() { return boost::make_shared<CachePruner>(cache, db); }

    static std::vector<std::pair<P::TriggerCriteria, P::Policy>> Set(const CachePruner& pruner) {
        std::vector<std::pair<P::TriggerCriteria, P::Policy>> entries;
        for (const P::Configuration& configuration : pruner.GetConfigurations())
            entries.emplace_back(configuration.trigger, configuration.policy);
        return entries;
    }

    CachePtr cache;
    CacheDBPtr db;
};

TEST_F(CachePrunerTest, ANewPrunerHasTheDaysPolicyAndItsCachesThresholds) {
    CachePrunerPtr pruner = NewPruner();
    EXPECT_EQ((std::vector<std::pair<P::TriggerCriteria, P::Policy>>{{P::TRIGGER_ALWAYS, P::DAYS_BASED_PRUNING}}),
              Set(*pruner));
    EXPECT_EQ(20u, pruner->GetFullThresholdPercent());
    EXPECT_EQ(30u, pruner->GetNotFullThresholdPercent());
    EXPECT_EQ(7u, pruner->GetNoOfDaysRetention());
    EXPECT_EQ(300, pruner->GetPruneIntervalSecs());
    EXPECT_EQ(30.0, pruner->GetTimeout().AsSeconds());
    EXPECT_FALSE(pruner->IsRunning());
    EXPECT_EQ(0u, CountContaining("Added pruning configuration"));

    cache->SetSpaceThresholds(10, 40);
    pruner = NewPruner();
    EXPECT_EQ(10u, pruner->GetFullThresholdPercent());
    EXPECT_EQ(40u, pruner->GetNotFullThresholdPercent());
}

TEST_F(CachePrunerTest, OneConfigurationPerPolicyTheFirstTriggerStays) {
    CachePrunerPtr pruner = NewPruner();
    pruner->AddConfiguration(P::TRIGGER_ON_SPACE_THRESHOLD_REACHED, P::DAYS_BASED_PRUNING);
    EXPECT_EQ(1u, Count(0, "Added pruning configuration [Policy [DAYS_BASED_PRUNING], Trigger Criteria "
                           "[TRIGGER_ON_SPACE_THRESHOLD_REACHED]]"));
    pruner->Configure(P::TRIGGER_ON_SPACE_THRESHOLD_REACHED, P::LEAST_REFERENCED_AFILEID_BASED_PRUNING);
    pruner->Configure(P::TRIGGER_ALWAYS, P::FILE_INDEXED_JOB_STATUS_BASED_PRUNING);
    EXPECT_EQ((std::vector<std::pair<P::TriggerCriteria, P::Policy>>{
                  {P::TRIGGER_ALWAYS, P::DAYS_BASED_PRUNING},
                  {P::TRIGGER_ALWAYS, P::FILE_INDEXED_JOB_STATUS_BASED_PRUNING},
                  {P::TRIGGER_ON_SPACE_THRESHOLD_REACHED, P::LEAST_REFERENCED_AFILEID_BASED_PRUNING}}),
              Set(*pruner));
    EXPECT_EQ("Policy [DAYS_BASED_PRUNING], Trigger Criteria [TRIGGER_ALWAYS]"
              "Policy [FILE_INDEXED_JOB_STATUS_BASED_PRUNING], Trigger Criteria [TRIGGER_ALWAYS]"
              "Policy [LEAST_REFERENCED_AFILEID_BASED_PRUNING], Trigger Criteria [TRIGGER_ON_SPACE_THRESHOLD_REACHED]",
              pruner->description());
}

TEST_F(CachePrunerTest, NamesAndDescriptions) {
    const struct {
        int trigger;
        int policy;
        const char* text;
    } cases[] = {
        {0, 0, "Policy [DAYS_BASED_PRUNING], Trigger Criteria [TRIGGER_ALWAYS]"},
        {1, 1, "Policy [FILE_INDEXED_JOB_STATUS_BASED_PRUNING], Trigger Criteria [TRIGGER_ON_SPACE_THRESHOLD_REACHED]"},
        {0, 2, "Policy [LEAST_REFERENCED_AFILEID_BASED_PRUNING], Trigger Criteria [TRIGGER_ALWAYS]"},
        {0, 3, "Policy [], Trigger Criteria [TRIGGER_ALWAYS]"},
        {-1, 0, "Policy [DAYS_BASED_PRUNING], Trigger Criteria []"},
        {2, -1, "Policy [], Trigger Criteria []"},
    };
    for (const auto& c : cases) {
        P::Configuration configuration{static_cast<P::TriggerCriteria>(c.trigger), static_cast<P::Policy>(c.policy)};
        EXPECT_EQ(c.text, CachePruner::description(configuration));
    }
}

TEST_F(CachePrunerTest, SpaceThresholdsNeedFullBelowNotFull) {
    const struct {
        uint32_t full;
        uint32_t notFull;
        uint32_t expectedFull;
        uint32_t expectedNotFull;
    } cases[] = {{20, 30, 20, 30}, {30, 20, 15, 35}, {25, 25, 15, 35}, {5, 90, 5, 90}};
    for (const auto& c : cases) {
        CachePrunerPtr pruner = NewPruner();
        pruner->ConfigureSpaceThresholds(15, 35);
        pruner->ConfigureSpaceThresholds(c.full, c.notFull);
        EXPECT_EQ(c.expectedFull, pruner->GetFullThresholdPercent()) << c.full << "/" << c.notFull;
        EXPECT_EQ(c.expectedNotFull, pruner->GetNotFullThresholdPercent()) << c.full << "/" << c.notFull;
    }
}

TEST_F(CachePrunerTest, RetentionDays) {
    const struct {
        const char* value;  // null: absent
        uint32_t days;
        bool logged;
    } cases[] = {{nullptr, 7, false}, {"0", 7, false}, {"7", 7, false}, {"10", 10, true}, {"abc", 7, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "absent");
        ClearLines();
        XKPlatformInfo::TEST_Delete(kKey, "nLiveBrowseCacheMaxDaysRetention");
        if (c.value) XKPlatformInfo::TEST_Set(kKey, "nLiveBrowseCacheMaxDaysRetention", c.value);
        CachePrunerPtr pruner = NewPruner();
        pruner->Configure();
        EXPECT_EQ(c.days, pruner->GetNoOfDaysRetention());
        EXPECT_EQ(c.logged ? 1u : 0u, CountContaining("Setting max no. of days retention to"));
        if (c.logged) {
            EXPECT_EQ(1u, Count(0, "Setting max no. of days retention to " + std::to_string(c.days)));
        }
        // The same value again writes no line.
        pruner->RefreshConfiguration();
        EXPECT_EQ(c.logged ? 1u : 0u, CountContaining("Setting max no. of days retention to"));
    }
}

TEST_F(CachePrunerTest, PruningIntervalIsReadAndKeptInRange) {
    const struct {
        const char* value;  // null: absent
        int32_t seconds;
    } cases[] = {
        {nullptr, 300},     {"100", 100}, {"0", 0}, {"604800", 604800}, {"604801", CachePruner::kMaxPruneIntervalSecs},
        {"4294967295", CachePruner::kMaxPruneIntervalSecs}, {"1099511627776", CachePruner::kMaxPruneIntervalSecs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "absent");
        XKPlatformInfo::TEST_Delete(kKey, "nLBCPruningInterval");
        if (c.value) XKPlatformInfo::TEST_Set(kKey, "nLBCPruningInterval", c.value);
        EXPECT_EQ(c.seconds, NewPruner()->GetPruneIntervalSecs());
    }
}

TEST_F(CachePrunerTest, ThreadStartsOnceAndItsStopStopsAStartedPool) {
    const int before = LibraryThreads();
    CachePrunerPtr pruner = NewPruner();
    ASSERT_TRUE(pruner->Start());
    ASSERT_TRUE(pruner->Start());
    ASSERT_TRUE(pruner->TEST_TickNow(true));  // OnStart has run
    EXPECT_EQ(before + 1, LibraryThreads());
    EXPECT_EQ(1u, Count(0, "Live Browse Cache pruner thread STARTED [" + cache->GetCacheDataFolderPath() +
                               "]. This thread will wake up every 30 seconds and perform pruning according to "
                               "configured pruning criteria and policy"));

    ASSERT_FALSE(pruner->TEST_DataPruner()->Start().IsError());
    pruner->Stop(true);
    EXPECT_FALSE(pruner->IsRunning());
    EXPECT_EQ(1u, Count(0, "Live Browse Cache pruner thread STOPPED"));
    EXPECT_EQ(1u, Count(0, "Live Browse Cache data pruner threadpool STOPPED"));
    EXPECT_EQ(0u, CountContaining("db pruner threadpool STOPPED"));
    EXPECT_TRUE(WaitFor([&] { return LibraryThreads() == before; }));
}

TEST_F(CachePrunerTest, ConfigurationsMayBeAddedWhileAPassReadsThem) {
    CachePrunerPtr pruner = NewPruner();
    std::atomic<bool> done{false};
    std::thread pass([&] {
        while (!done.load())
            for (const P::Configuration& configuration : pruner->GetConfigurations()) (void)configuration.policy;
    });
    for (int i = 0; i < 200; ++i) {
        pruner->AddConfiguration(P::TRIGGER_ON_SPACE_THRESHOLD_REACHED, static_cast<P::Policy>(i % 3));
        pruner->ConfigureMaxNoOfDays(static_cast<uint32_t>(1 + i % 2));
    }
    done = true;
    pass.join();
    EXPECT_EQ(3u, pruner->GetConfigurations().size());
}

}  // namespace
