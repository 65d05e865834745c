#include "platform/ArMgrClientAPI.h"
#include "platform/EvDebug.h"
#include "platform/XKClient.h"
#include "platform/XKJobQuery.h"
#include "platform/XKMMmountPath.h"
#include "platform/XKTessaRel.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

void ResetAll() {
    XKJobQuery::TEST_ResetAll();
    XKMMmountPath::TEST_ResetAll();
    ArMgrClientAPI::TEST_ResetAll();
    XKTessaRel::TEST_ResetAll();
    XKClient::TEST_ResetAll();
}

class PlatformServicesTest : public ::testing::Test {
protected:
    void SetUp() override { ResetAll(); }
    void TearDown() override { ResetAll(); }
};

MediaManager::MountPathInfo MountPath(int64_t id, const std::string& path) {
    MediaManager::MountPathInfo info;
    info.setMMPathId(id);
    info.setPath(path);
    return info;
}

// ---- job query ----

TEST_F(PlatformServicesTest, JobQueryInitNeedsAHostAndObeysItsFailureSwitch) {
    XKJobQuery query;
    query.setPlatformType(XKS_PLATFORMTYPE_LINUX);
    EXPECT_EQ(2, XKJobQuery::TEST_LastPlatformType());

    EXPECT_FALSE(query.init(""));
    EXPECT_EQ(XKJobQuery::kStateFailed, query.getJobState(7));

    XKJobQuery::TEST_SetInitFails(true);
    EXPECT_FALSE(query.init("hub.example"));
    EXPECT_EQ(XKJobQuery::kStateFailed, query.getJobState(7));

    XKJobQuery::TEST_SetInitFails(false);
    EXPECT_TRUE(query.init("hub.example"));
    EXPECT_EQ("hub.example", XKJobQuery::TEST_LastInitHost());
    EXPECT_EQ(XKJobQuery::kStateRunning, query.getJobState(7));
    EXPECT_EQ(3, XKJobQuery::TEST_InitCalls());
    EXPECT_EQ(3, XKJobQuery::TEST_GetJobStateCalls());
}

TEST_F(PlatformServicesTest, JobQueryAnswersPerJobWithRunningAsTheDefault) {
    XKJobQuery::TEST_SetJobState(10, XKJobQuery::kStatePending);
    XKJobQuery::TEST_SetJobState(11, XKJobQuery::kStateSuspended);
    XKJobQuery::TEST_SetJobState(12, XKJobQuery::kStateCompleted);
    XKJobQuery::TEST_SetJobState(-5, 99);

    XKJobQuery query;
    ASSERT_TRUE(query.init("hub"));
    struct Case {
        long long jobId;
        int state;
    } const cases[] = {{10, 2}, {11, 3}, {12, 4}, {-5, 99}, {13, 1}, {0, 1}};
    for (const Case& c : cases) EXPECT_EQ(c.state, query.getJobState(c.jobId)) << "job " << c.jobId;

    XKJobQuery::TEST_SetDefaultJobState(XKJobQuery::kStateCompleted);
    EXPECT_EQ(4, query.getJobState(13));
    EXPECT_EQ(2, query.getJobState(10));

    XKJobQuery::TEST_ResetAll();
    EXPECT_EQ(1, query.getJobState(12));
    EXPECT_EQ(1, XKJobQuery::TEST_GetJobStateCalls());
}

// ---- media manager ----

TEST_F(PlatformServicesTest, MediaManagerDefaultsToSuccessWithNoMountPath) {
    MediaManager::MountPathInfoList reply;
    EXPECT_EQ(10, reply.getMessageClass());
    EXPECT_EQ(205, reply.getMessageType());
    reply.addMountPathInfo(MountPath(9, "/stale"));

    XKMMmountPath client(2);
    EXPECT_EQ(0, client.getCacheMountPathInfo(1, 1, 77, reply));
    EXPECT_TRUE(reply.isMountPathInfoEmpty());
    EXPECT_EQ(1, XKMMmountPath::TEST_Calls());
    EXPECT_EQ(77, XKMMmountPath::TEST_LastClientId());
    EXPECT_EQ(2, XKMMmountPath::TEST_LastClientType());
}

TEST_F(PlatformServicesTest, MediaManagerAnswersPerAfileCopyByTheLow32BitsOfTheIds) {
    XKMMmountPath::TEST_SetAnswer(812, 1, {0, {MountPath(5, "/mnt/a"), MountPath(6, "/mnt/b")}});
    XKMMmountPath::TEST_SetAnswer(812, 2, {-1, {MountPath(7, "/mnt/c")}});
    XKMMmountPath::TEST_SetAnswer((1LL << 32) + 900, 3, {1, {MountPath(8, "/mnt/d")}});

    XKMMmountPath client(2);
    MediaManager::MountPathInfoList reply;
    ASSERT_EQ(0, client.getCacheMountPathInfo(812, 1, 4, reply));
    ASSERT_EQ(2, reply.getMountPathInfoCount());
    EXPECT_EQ(5, reply.getMountPathInfo(0).getMMPathId());
    EXPECT_EQ("/mnt/a", reply.getMountPathInfo(0).getPath());
    EXPECT_EQ("/mnt/b", reply.getMountPathInfo(1).getPath());

    // A failed request still hands its list over: callers must look at the status.
    EXPECT_EQ(-1, client.getCacheMountPathInfo(812, 2, 4, reply));
    ASSERT_EQ(1, reply.getMountPathInfoCount());
    EXPECT_EQ("/mnt/c", reply.getMountPathInfo(0).getPath());

    EXPECT_EQ(1, client.getCacheMountPathInfo(900, 3, 4, reply));
    EXPECT_EQ("/mnt/d", reply.getMountPathInfo(0).getPath());

    EXPECT_EQ(0, client.getCacheMountPathInfo(812, 1, 4, reply));
    EXPECT_EQ(4, XKMMmountPath::TEST_Calls());
    EXPECT_EQ(2, XKMMmountPath::TEST_Calls(812, 1));
    EXPECT_EQ(1, XKMMmountPath::TEST_Calls((1LL << 32) + 900, 3));
    EXPECT_EQ(0, XKMMmountPath::TEST_Calls(812, 9));

    XKMMmountPath::TEST_SetDefaultAnswer({-1, {}});
    EXPECT_EQ(-1, client.getCacheMountPathInfo(1, 1, 4, reply));
    EXPECT_TRUE(reply.isMountPathInfoEmpty());
}

TEST_F(PlatformServicesTest, MediaManagerResponderMayBlockWithoutStoppingOtherCallers) {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool release = false;
    XKMMmountPath::TEST_SetResponder([&](int afileId, int copyId, int) {
        std::unique_lock<std::mutex> lock(mutex);
        if (afileId == 1) {
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        }
        return XKMMmountPath::TEST_Answer{0, {MountPath(afileId * 10 + copyId, "/r")}};
    });

    int blockedStatus = -2;
    MediaManager::MountPathInfoList blockedReply;
    std::thread blocked([&] {
        XKMMmountPath client(2);
        blockedStatus = client.getCacheMountPathInfo(1, 2, 0, blockedReply);
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return entered; });
    }
    // While one request is held inside the responder the table stays usable.
    XKMMmountPath::TEST_SetAnswer(3, 3, {0, {}});
    XKMMmountPath client(2);
    MediaManager::MountPathInfoList reply;
    EXPECT_EQ(0, client.getCacheMountPathInfo(2, 1, 0, reply));
    ASSERT_EQ(1, reply.getMountPathInfoCount());
    EXPECT_EQ(21, reply.getMountPathInfo(0).getMMPathId());
    EXPECT_EQ(2, XKMMmountPath::TEST_Calls());
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    blocked.join();
    EXPECT_EQ(0, blockedStatus);
    ASSERT_EQ(1, blockedReply.getMountPathInfoCount());
    EXPECT_EQ(12, blockedReply.getMountPathInfo(0).getMMPathId());

    XKMMmountPath::TEST_SetResponder(nullptr);
    EXPECT_EQ(0, client.getCacheMountPathInfo(1, 2, 0, reply));
    EXPECT_TRUE(reply.isMountPathInfoEmpty());
}

// ---- archive manager ----

TEST_F(PlatformServicesTest, ArchiveManagerAnswersPerAfileAndObeysItsFailureSwitch) {
    GetAfileInfoRetTR_t indexed;
    indexed.afileName = "afile 42";
    indexed.flags = ArMgrClientAPI::kAfileFlagFileIndexed | 0x1;
    ArMgrClientAPI::TEST_SetAfileInfo(42, indexed);

    ArMgrClientAPI api;
    GetAfileInfoArgsTR_t args;
    args.afileId = 42;
    args.tessaRelId = 9;
    GetAfileInfoRetTR_t reply;
    ASSERT_EQ(0, api.getAfileInfo(&args, &reply));
    EXPECT_EQ(0x41u, reply.flags);
    EXPECT_EQ("afile 42", reply.afileName);
    EXPECT_EQ(9u, ArMgrClientAPI::TEST_LastArgs().tessaRelId);

    GetAfileInfoRetTR_t untouched;
    untouched.flags = 0x40;
    args.afileId = 43;
    EXPECT_EQ(ArMgrClientAPI::kAfileNotFound, api.getAfileInfo(&args, &untouched));
    EXPECT_EQ(0x40u, untouched.flags);

    ArMgrClientAPI::TEST_SetFailure(5);
    args.afileId = 42;
    GetAfileInfoRetTR_t failed;
    EXPECT_EQ(5, api.getAfileInfo(&args, &failed));
    EXPECT_EQ(0u, failed.flags);
    EXPECT_EQ(ArMgrClientAPI::kBadArguments, api.getAfileInfo(nullptr, &failed));
    EXPECT_EQ(4, ArMgrClientAPI::TEST_Calls());

    ArMgrClientAPI::TEST_ResetAll();
    EXPECT_EQ(ArMgrClientAPI::kAfileNotFound, api.getAfileInfo(&args, &failed));
    EXPECT_EQ(1, ArMgrClientAPI::TEST_Calls());
}

// ---- cell identity ----

TEST_F(PlatformServicesTest, TessaRelAnswersThisCellUnlessANumberHasItsOwnId) {
    XKTessaRel cell(0);
    uint64_t id = 0;
    ASSERT_EQ(0, cell.getTessaRelId(id, nullptr));
    EXPECT_EQ(XKTessaRel::kDefaultCellId, id);

    XKTessaRel::TEST_SetCellId(uint64_t{0x100000005});
    XKTessaRel::TEST_SetCellId(7u, 70);
    cell.setTessaRelNumber(3);
    ASSERT_EQ(0, cell.getTessaRelId(id, nullptr));
    EXPECT_EQ(0x100000005u, id);
    cell.setTessaRelNumber(7);
    ASSERT_EQ(0, cell.getTessaRelId(id, nullptr));
    EXPECT_EQ(70u, id);

    XKTessaRel::TEST_SetFailure(3);
    std::string reason;
    id = 123;
    EXPECT_EQ(3, cell.getTessaRelId(id, &reason));
    EXPECT_EQ(123u, id);
    EXPECT_NE(std::string::npos, reason.find("7")) << reason;
    EXPECT_EQ(4, XKTessaRel::TEST_Calls());
}

// ---- client identity ----

TEST_F(PlatformServicesTest, ClientIdAnswerAndReturnCodeAreSettable) {
    const std::string name = EvDebug::getClientName();
    XKClient client(name, 2, 0, nullptr);
    unsigned long clientId = 0;
    ASSERT_EQ(0, client.getClientId(clientId, nullptr));
    EXPECT_EQ(XKClient::kDefaultClientId, clientId);
    EXPECT_EQ(name, XKClient::TEST_LastClientName());
    EXPECT_EQ(2, XKClient::TEST_LastNameType());

    XKClient::TEST_SetClientId(4096);
    ASSERT_EQ(0, client.getClientId(clientId, nullptr));
    EXPECT_EQ(4096u, clientId);

    XKClient::TEST_SetReturnCode(11);
    std::string reason;
    clientId = 1;
    EXPECT_EQ(11, client.getClientId(clientId, &reason));
    EXPECT_EQ(1u, clientId);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(3, XKClient::TEST_Calls());
}

// ---- every stand-in at once, from many threads ----

TEST_F(PlatformServicesTest, StandInsCountEveryCallFromConcurrentThreads) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    XKJobQuery::TEST_SetJobState(5, XKJobQuery::kStateCompleted);
    XKMMmountPath::TEST_SetAnswer(5, 1, {0, {MountPath(5, "/mnt/five")}});

    std::vector<std::thread> threads;
    std::vector<int> mismatches(kThreads, 0);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i, &mismatches] {
            for (int r = 0; r < kRounds; ++r) {
                XKJobQuery query;
                query.setPlatformType(XKS_PLATFORMTYPE_LINUX);
                if (!query.init("hub") || query.getJobState(5) != XKJobQuery::kStateCompleted) ++mismatches[i];

                XKMMmountPath mm(2);
                MediaManager::MountPathInfoList reply;
                if (mm.getCacheMountPathInfo(5, 1, i, reply) != 0 || reply.getMountPathInfoCount() != 1) ++mismatches[i];

                ArMgrClientAPI api;
                GetAfileInfoArgsTR_t args;
                GetAfileInfoRetTR_t info;
                if (api.getAfileInfo(&args, &info) != ArMgrClientAPI::kAfileNotFound) ++mismatches[i];

                uint64_t cellId = 0;
                if (XKTessaRel(2).getTessaRelId(cellId, nullptr) != 0) ++mismatches[i];

                unsigned long clientId = 0;
                if (XKClient("host", 2, 0, nullptr).getClientId(clientId, nullptr) != 0) ++mismatches[i];
            }
        });
    }
    for (std::thread& t : threads) t.join();

    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(0, mismatches[i]) << "thread " << i;
    const int total = kThreads * kRounds;
    EXPECT_EQ(total, XKJobQuery::TEST_InitCalls());
    EXPECT_EQ(total, XKJobQuery::TEST_GetJobStateCalls());
    EXPECT_EQ(total, XKMMmountPath::TEST_Calls(5, 1));
    EXPECT_EQ(total, ArMgrClientAPI::TEST_Calls());
    EXPECT_EQ(total, XKTessaRel::TEST_Calls());
    EXPECT_EQ(total, XKClient::TEST_Calls());
}

}  // namespace
