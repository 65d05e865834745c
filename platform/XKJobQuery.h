#pragma once
// The job-query client: the state of a backup job as the control server knows
// it. Here an in-process table that tests fill; every query object reads the
// one process-wide table, so make one for a question and drop it after.
//
// States 1, 2 and 3 are those of a job that has not ended; any other answer,
// -1 for a failed query included, means it has ended. An id with no answer
// set is running (1, settable): a container of an unknown job then goes idle
// by its commit time alone, so only a test that sets a state sees a job end.
//
// All members are thread-safe.

#include <string>

enum XKS_PLATFORMTYPE : int {
    XKS_PLATFORMTYPE_UNKNOWN = 0,
    XKS_PLATFORMTYPE_LINUX = 2,  // what the library's callers pass
};

class XKJobQuery {
public:
    enum : int {
        kStateRunning = 1,
        kStatePending = 2,
        kStateSuspended = 3,
        kStateCompleted = 4,
        kStateFailed = -1,  // the query itself failed
    };

    XKJobQuery() = default;
    ~XKJobQuery() = default;
    XKJobQuery(const XKJobQuery&) = delete;
    XKJobQuery& operator=(const XKJobQuery&) = delete;

    void setPlatformType(XKS_PLATFORMTYPE type);
    // Connects to the control server `host`; false for an empty host or while
    // a test makes it fail.
    bool init(const std::string& host);
    // The job's state; kStateFailed unless init succeeded on this object.
    int getJobState(long long jobId);

    // Answers for tests. Reset returns every answer, switch and counter to
    // its start value.
    static void TEST_ResetAll();
    static void TEST_SetJobState(long long jobId, int state);
    static void TEST_SetDefaultJobState(int state);
    static void TEST_SetInitFails(bool fail);
    static int TEST_InitCalls();
    static int TEST_GetJobStateCalls();
    // The host of the last init call; empty when none.
    static std::string TEST_LastInitHost();
    static int TEST_LastPlatformType();

private:
    bool initialized = false;  // this object's own; the table is shared
};
