#include "store/CacheMountPathInfo.h"

#include "platform/XKPlatformInfo.h"
#include "store/CacheFileIO.h"

#include <boost/any.hpp>
#include <gtest/gtest.h>

namespace {

TEST(CacheMountPathInfo, DefaultIsAnEmptyMessageAndDefaultParameters) {
    CacheMountPathInfo info;
    EXPECT_EQ(10, info.mountPath.getMessageClass());
    EXPECT_EQ(203, info.mountPath.getMessageType());
    EXPECT_EQ(0, info.mountPath.getMMPathId());
    EXPECT_EQ("", info.mountPath.getPath());
    EXPECT_EQ(-1, info.fsParams.Subtype);
    EXPECT_EQ("", info.fsParams.host.Host);
}

TEST(CacheMountPathInfo, CopiesAreDeepAndTravelInAnAny) {
    CacheMountPathInfo info;
    info.mountPath.setPath("IP|1|2|srv|3|/vol");
    info.mountPath.setMMPathId(7);
    info.fsParams.host.Host = "srv";
    boost::any carried = info;
    info.mountPath.setPath("changed");
    info.fsParams.host.Host = "other";

    CacheMountPathInfo& inside = boost::any_cast<CacheMountPathInfo&>(carried);
    EXPECT_EQ("IP|1|2|srv|3|/vol", inside.mountPath.getPath());
    EXPECT_EQ(7, inside.mountPath.getMMPathId());
    EXPECT_EQ("srv", inside.fsParams.host.Host);
}

TEST(CacheMountPathInfo, AsStringPrintsEveryFieldWith32BitNumbers) {
    CacheMountPathInfo info;
    MediaManager::MountPathInfo& m = info.mountPath;
    m.setMMPathId(0x100000005LL);  // printed cut to 32 bits: 5
    m.setPath("/mnt/c1");
    m.setAvailSpace(-1);
    m.setMountPathType(3);
    m.setUser("backup");
    m.setMediaId(11);
    m.setMediaSideId(12);
    m.setIsOffline(0);
    m.setForeignAgentId(13);
    m.setSizeOfValidData(0x100000005LL);  // printed whole
    m.setAttribute(14);
    EXPECT_EQ(
        "MMPathId=5, Path=/mnt/c1, AvailSpace=-1, MountPathType=3, User=backup,  MediaId=11, MediaSideId=12, "
        "IsOffline=0, ForeignAgentId=13, SizeOfValidData=4294967301, Attribute=14",
        info.AsString());
}

TEST(ParseDataServerMountPath, Cases) {
    XKPlatformInfo::TEST_SetPhysicalMachine("client-7");
    struct Case {
        const char* path;
        bool ok;
        int subtype;
        const char* host;
        const char* folder;
    } cases[] = {
        {"IP|1|2|srv|3|/vol/cache", true, 4, "srv", "/vol/cache"},
        {"SAN|1|2|srv|3|/v", true, 1, "srv", "/v"},
        {"FC|1|2|srv|3|/v", true, 1, "srv", "/v"},
        {"ISCSI|1|2|srv|3|/v", true, 2, "srv", "/v"},
        {"IP|a|b|srv|c|/v", true, 4, "srv", "/v"},  // number fields are not read
        {"IP|1|2||3|/v", true, 4, "preset", "/v"},  // an empty host leaves Host alone
        {"ip|1|2|srv|3|/v", false, 0, nullptr, nullptr},
        {"NFS|1|2|srv|3|/v", false, 0, nullptr, nullptr},
        {"IP||2|srv|3|/v", false, 0, nullptr, nullptr},
        {"IP|1||srv|3|/v", false, 0, nullptr, nullptr},
        {"IP|1|2|srv||/v", false, 0, nullptr, nullptr},
        {"IP|1|2|srv|3", false, 0, nullptr, nullptr},
        {"IP|1|2|srv|3|/v|x", false, 0, nullptr, nullptr},
        {"IP|1|2|srv|3|", false, 0, nullptr, nullptr},
        {"/mnt/local/cache", false, 0, nullptr, nullptr},
        {"", false, 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        CFSInitParams params;
        params.host.Host = "preset";
        EXPECT_EQ(c.ok, CCacheFileIO::ParseDataServerMountPath(c.path, params)) << c.path;
        if (!c.ok) continue;
        EXPECT_EQ(2, params.Type) << c.path;
        EXPECT_EQ(c.subtype, params.Subtype) << c.path;
        EXPECT_EQ(c.host, params.host.Host) << c.path;
        EXPECT_EQ(c.folder, params.host.Path) << c.path;
        EXPECT_EQ("client-7", params.LocalClientName) << c.path;
    }
    XKPlatformInfo::TEST_SetPhysicalMachine("");
}

}  // namespace
