#pragma once
// The platform's base of log writers: keeps the names and the debug mask that
// every writer shares; the writing itself is the derived writer's.

#include "platform/CLogWriterInterface.h"
#include "platform/LockOrder.h"

#include <atomic>
#include <mutex>
#include <string>

class CLogWriterWrapperBase : public CLogWriterInterface {
public:
    CLogWriterWrapperBase() = default;
    ~CLogWriterWrapperBase() override = default;
    CLogWriterWrapperBase(const CLogWriterWrapperBase&) = delete;
    CLogWriterWrapperBase& operator=(const CLogWriterWrapperBase&) = delete;

    // Nothing to prepare: always true.
    bool Initialize() override;
    void SetLogAppName(const std::string& name) override;
    void SetLogFileName(const std::string& name) override;
    unsigned GetDebugMask() override;
    void SetDebugMask(unsigned mask) override;

    std::string GetLogAppName() const;
    std::string GetLogFileName() const;

private:
    mutable RankedMutex mutex{LockRank::LogWriter, "log writer"};
    // guarded by mutex
    std::string appName;
    std::string fileName;
    // Read by logging threads without the lock.
    std::atomic<unsigned> debugMask{0};
};
