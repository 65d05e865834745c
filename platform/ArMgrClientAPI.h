#pragma once
// The archive manager's client: what it knows of an afile. Here an in-process
// table that tests fill; every client reads the one process-wide table.
//
// An afile with no answer set is unknown to the archive manager: the call
// answers kAfileNotFound and leaves the reply as it was.
//
// All members are thread-safe.

#include <cstdint>
#include <string>

// The request: the afile, a word the caller sets to 0, and the id of the
// cell that owns the afile.
struct GetAfileInfoArgsTR_t {
    int64_t afileId = 0;
    int64_t reserved = 0;
    uint64_t tessaRelId = 0;
};

struct GetAfileInfoRetTR_t {
    std::string afileName;
    std::string storagePolicyName;
    uint64_t flags = 0;
};

class ArMgrClientAPI {
public:
    enum : uint64_t { kAfileFlagFileIndexed = 0x40 };  // file indexing has run for the afile
    enum : int {
        kAfileNotFound = 2,
        kBadArguments = 22,
    };

    ArMgrClientAPI() = default;
    ~ArMgrClientAPI() = default;
    ArMgrClientAPI(const ArMgrClientAPI&) = delete;
    ArMgrClientAPI& operator=(const ArMgrClientAPI&) = delete;

    // 0 and the reply filled, or a non-zero code and the reply unchanged.
    int getAfileInfo(const GetAfileInfoArgsTR_t* args, GetAfileInfoRetTR_t* reply);

    // Answers for tests, by afile id (the cell id is recorded, not matched).
    static void TEST_ResetAll();
    static void TEST_SetAfileInfo(int64_t afileId, const GetAfileInfoRetTR_t& reply);
    // A non-zero code makes every call answer it (0 disarms).
    static void TEST_SetFailure(int code);
    static int TEST_Calls();
    // The request of the last call; all zero when none.
    static GetAfileInfoArgsTR_t TEST_LastArgs();
};
