#pragma once
// The platform's debug-log engine: levelled lines appended to one log file.
//
// An engine is configured from the configuration store (key "VirtualServer"):
//   "sLBCLogFolder"   folder of the log file, default "/tmp/LiveBrowseCacheLogs"
//                     (created when missing)
//   "nLBCDebugLevel"  the engine's level, a signed decimal, default 0; a line of
//                     level L is written only when L is at most the level
// The file is "LiveBrowseCache.log" in that folder; each line reads
//   2024-05-01 13:45:12.345 <pid> <tid> <level> [<function>:<line>] <message>
// with "job=<id> " and "<context> " before the message when given. Lines are
// written whole, one write per line, under the file instance's lock.

#include "platform/LockOrder.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

// The engine's record of one log file. Shared by every engine initialised on
// it, which may log through it concurrently.
class EvDebugFileInstance {
public:
    EvDebugFileInstance();
    ~EvDebugFileInstance();
    EvDebugFileInstance(const EvDebugFileInstance&) = delete;
    EvDebugFileInstance& operator=(const EvDebugFileInstance&) = delete;

    // Opens folder/fileName for appending, creating the folder, unless that
    // file is open already; false when it cannot be opened, and the file open
    // before (if any) then stays in use so that lines are not lost.
    bool Open(const std::string& folder, const std::string& fileName);
    // Appends one whole line (the newline included).
    void WriteLine(const std::string& line);
    // The open file's path; empty when none is open.
    std::string Path() const;

private:
    mutable RankedMutex mutex{LockRank::DebugLog, "debug log"};
    // guarded by mutex
    int fd;
    std::string path;
};

// A thread's view of a file instance, held by the thread attachment of a log
// writer. Owns nothing.
class ThLvlEvDebugFileInstance {
public:
    explicit ThLvlEvDebugFileInstance(EvDebugFileInstance* fileInstance);
    ThLvlEvDebugFileInstance(const ThLvlEvDebugFileInstance&) = delete;
    ThLvlEvDebugFileInstance& operator=(const ThLvlEvDebugFileInstance&) = delete;

    EvDebugFileInstance* FileInstance() const { return fileInstance; }
    // The thread the instance was made on.
    long ThreadId() const { return threadId; }

private:
    EvDebugFileInstance* const fileInstance;
    const long threadId;
};

class EvDebug {
public:
    // What the caller of initialize must pass: a caller built against another
    // engine is refused.
    static constexpr unsigned kMagic = 0x6609076E;

    struct CapturedLine {
        int level;
        std::string function;
        unsigned line;
        unsigned long long jobId;
        std::string text;  // the formatted message
    };

    explicit EvDebug(EvDebugFileInstance* fileInstance = nullptr);
    ~EvDebug() = default;
    EvDebug(const EvDebug&) = delete;
    EvDebug& operator=(const EvDebug&) = delete;

    // Attaches the engine to a file instance; 0 when the instance is null,
    // the magic differs or a test asked for a failure. A non-empty logFileName
    // replaces "LiveBrowseCache.log"; the number and the flag are kept for the
    // platform's callers and change nothing here.
    int initialize(EvDebugFileInstance* fileInstance, unsigned magic, long long reserved, bool reservedFlag,
                   const std::string& logFileName);
    // Reads the folder and the level from the configuration store and opens
    // the log file there.
    void refreshAllParams();
    // Lines are written synchronously, so there is never anything to wait for.
    void debugWait() {}
    int getDebugLevel() const;
    void setDebugLevel(int level);
    // Writes one line when level is at most the engine's level. The fourth
    // argument is the platform's message kind; -1 is the only one used.
    void handleMsgEventDebug_NEW(int level, const char* function, unsigned line, int kind, unsigned long long jobId,
                                 const char* context, const char* format, va_list args);
    // The attached file instance; null until initialize succeeds.
    EvDebugFileInstance* GetFileInstance() const {
        return (flags.load(std::memory_order_acquire) & kFlagDetached) != 0 ? nullptr
                                                                            : fileInstance.load(std::memory_order_acquire);
    }

    // This machine's name, as the platform's client name.
    static std::string getClientName();

    // Every line written by any engine from now on is also kept in memory.
    static void TEST_StartCapture();
    static std::vector<CapturedLine> TEST_CapturedLines();
    // Stops keeping lines; the lines kept so far stay readable.
    static void TEST_StopCapture();
    // The next initialize answers 0 (false disarms).
    static void TEST_FailNextInitialize(bool fail);
    // Every engine answers this level, whatever its own, until cleared.
    static void TEST_SetDebugLevel(int level);
    static void TEST_ClearDebugLevel();

private:
    static constexpr unsigned kFlagDetached = 1;  // no usable file instance

    std::string FileName() const;

    mutable RankedMutex paramsMutex{LockRank::DebugLog, "debug log parameters"};
    std::string logFileName;  // guarded by paramsMutex
    // Read on every logging thread without a lock.
    std::atomic<EvDebugFileInstance*> fileInstance;
    std::atomic<unsigned> flags;
    std::atomic<int> debugLevel{0};
};
