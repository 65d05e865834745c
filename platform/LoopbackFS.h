#pragma once
// An FS client that serves a folder of this machine as the volume of a data
// server, so that every remote road runs against real files. A data server is
// known by the host name of its connection parameters; its paths are mapped
// below the local folder registered for that host (TEST_ServeHost). Objects
// made for a host nobody serves are never connected.
//
// Semantics the callers rely on: an open never truncates; a size set through
// one handle is seen at once through every other; rename replaces; a lock is
// exclusive per open handle (also between handles of one process), never waits,
// survives the closing of other handles of the file, and a lock held elsewhere
// is refused with LBCError::kLockedByAnotherHost.

#include "platform/CFSInterface.h"

#include <boost/shared_ptr.hpp>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

struct LoopbackHost;

class LoopbackFS : public CFSInterface {
public:
    explicit LoopbackFS(boost::shared_ptr<LoopbackHost> host);
    ~LoopbackFS() override;
    LoopbackFS(const LoopbackFS&) = delete;
    LoopbackFS& operator=(const LoopbackFS&) = delete;

    bool IsConnected() override;
    CZoError Exists(const std::string& path, bool& exists) override;
    CZoError CreateFolder(const std::string& path, bool recursive) override;
    CZoError GetSpaceUsage(const std::string& path, unsigned long long& total,
                           unsigned long long& available) override;
    CZoError Stat(const std::string& path, struct stat& st) override;
    CZoError RemoveFile(const std::string& path, int flags) override;
    CZoError RemoveFolder(const std::string& path, int flags) override;
    CZoError ListFolder(const std::string& path, std::vector<std::string>& files,
                        std::vector<std::string>& folders) override;
    CZoError Walk(const std::string& root, void* context, int maxDepth, bool followFolders,
                  FSWalkCallback callback, int flags) override;
    CZoError Rename(const std::string& from, const std::string& to, int flags) override;
    CZoError Flush(const std::string& path) override;
    CZoError SetModificationTime(const std::string& path, int64_t unixTime) override;

    // Serves `localRoot` as the volume of data server `host`, all switches off.
    static void TEST_ServeHost(const std::string& host, const std::string& localRoot);
    static void TEST_StopServing(const std::string& host);
    // Disconnected: every call of every object of the host fails and
    // IsConnected is false, until connected again.
    static void TEST_SetConnected(const std::string& host, bool connected);
    // The next `count` writes of the host's files fail with errno `error`.
    static void TEST_FailNextWrites(const std::string& host, int count, int error = EIO);
    // The next `count` existence tests of the host fail with errno `error`.
    static void TEST_FailNextExists(const std::string& host, int count, int error = EIO);
    // Called after each lock the host grants, before the locker returns.
    static void TEST_SetLockHook(const std::string& host, std::function<void()> hook);
    // Reads and writes move at most `bytes` per call (0: no limit).
    static void TEST_SetMaxTransfer(const std::string& host, uint32_t bytes);
    // Called before every entry a walk hands to its callback.
    static void TEST_SetWalkHook(const std::string& host,
                                 std::function<void(const std::string& folder, const std::string& name)> hook);
    // Files of the host open right now.
    static int TEST_OpenFileCount(const std::string& host);
    // Makes GetFSInterfaceInstance / GetFileInterfaceInstance return null.
    static void TEST_SetFactoriesReturnNothing(bool noFileSystem, bool noFile);
    // Forgets every host and switch.
    static void TEST_Reset();

private:
    CZoError WalkFolder(const std::string& local, const std::string& remote, int depth, void* context,
                        int maxDepth, FSWalkCallback callback);

    // constant after construction
    const boost::shared_ptr<LoopbackHost> host;
};

class LoopbackFile : public CFileInterface {
public:
    explicit LoopbackFile(boost::shared_ptr<LoopbackHost> host);
    ~LoopbackFile() override;
    LoopbackFile(const LoopbackFile&) = delete;
    LoopbackFile& operator=(const LoopbackFile&) = delete;

    CZoError Open(const std::string& path, int flags, int mode, int options) override;
    CZoError Close() override;
    CZoError Read(void* buffer, uint32_t count, uint64_t* done) override;
    CZoError Write(const void* buffer, uint32_t count, uint64_t* done) override;
    CZoError Seek(int64_t offset, int whence, int64_t* newPosition) override;
    CZoError SetSize(int64_t size) override;
    CZoError Lock(int flags) override;
    CZoError Unlock() override;
    bool IsConnected() override;

private:
    CZoError CheckOpen(const FXCodeLocation& at);
    void CloseDescriptor();

    // constant after construction
    const boost::shared_ptr<LoopbackHost> host;
    // used by one caller at a time, like the file object of the real client
    int fd = -1;
};
