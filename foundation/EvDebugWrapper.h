#pragma once
// The library's log writer over the platform's debug-log engine, and the
// per-thread attachment it hands out.

#include "platform/CLogWriterWrapperBase.h"
#include "platform/EvDebug.h"

#include <boost/shared_ptr.hpp>

// The engine's record of the library's log file; defined with the facade
// (service/LiveBrowseCache.cpp) so that it outlives g_ptrLogWriterLBC.
extern EvDebugFileInstance g_dbgLBCInst;

// Without an engine it answers level 0 and drops every line.
class CEvDebugWrapper : public CLogWriterWrapperBase {
public:
    explicit CEvDebugWrapper(boost::shared_ptr<EvDebug> evDebug);
    ~CEvDebugWrapper() override = default;

    void LogMessage(int level, const char* function, unsigned line, unsigned long long jobId, const char* context,
                    const char* format, ...) override __attribute__((format(printf, 7, 8)));
    void LogMessageV(int level, const char* function, unsigned line, unsigned long long jobId, const char* context,
                     const char* format, va_list args) override;
    void RefreshConfiguration() override;
    int GetDebugLevel() override;
    void SetDebugLevel(int level) override;
    boost::shared_ptr<CLogWriterInterfaceThreadWrapper> GetThreadAttachment() override;

private:
    // constant after construction; may be empty
    const boost::shared_ptr<EvDebug> evDebug;
};

// Keeps the engine alive for a thread that logs through it, with the engine's
// per-thread view of its file.
class CEvDebugThreadInstanceWrapper : public CLogWriterInterfaceThreadWrapper {
public:
    explicit CEvDebugThreadInstanceWrapper(boost::shared_ptr<EvDebug> evDebug);
    // Members go in reverse order: the thread instance before the engine.
    ~CEvDebugThreadInstanceWrapper() override = default;
    CEvDebugThreadInstanceWrapper(const CEvDebugThreadInstanceWrapper&) = delete;
    CEvDebugThreadInstanceWrapper& operator=(const CEvDebugThreadInstanceWrapper&) = delete;

    // Keeps the engine and makes a thread instance over its file instance;
    // none when the engine is empty or has no file instance.
    void AttachThread(boost::shared_ptr<EvDebug> engine);

    const boost::shared_ptr<EvDebug>& Engine() const { return evDebug; }
    const boost::shared_ptr<ThLvlEvDebugFileInstance>& ThreadInstance() const { return threadInstance; }

private:
    // owned by the attaching thread; not shared
    boost::shared_ptr<EvDebug> evDebug;
    boost::shared_ptr<ThLvlEvDebugFileInstance> threadInstance;
};
