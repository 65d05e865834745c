#pragma once
// The library-wide log writer and the level rule every log line follows.

#include "platform/CLogWriterInterface.h"

#include <boost/shared_ptr.hpp>

// g_ptrLogWriterLBC is replaced while other threads log: always go through
// these, which load and store it atomically, and log through a local copy.
boost::shared_ptr<CLogWriterInterface> LoadLogWriterLBC();
void StoreLogWriterLBC(const boost::shared_ptr<CLogWriterInterface>& writer);
// The calling thread's reference to the current writer (null when none); valid
// until this thread asks again. What the log macros use.
CLogWriterInterface* LogWriterLBCForThisThread();

// A line of level L is written only when the writer's level is at least L;
// the arguments are evaluated only then.
#define LBC_LOG(level, ...)                                                                 \
    do {                                                                                    \
        CLogWriterInterface* lbcWriter_ = LogWriterLBCForThisThread();                      \
        if (lbcWriter_ && lbcWriter_->GetDebugLevel() >= (level))                           \
            lbcWriter_->LogMessage((level), __PRETTY_FUNCTION__, __LINE__, 0, nullptr, __VA_ARGS__); \
    } while (0)

// Statistics lines: level 0, empty signature, line 0.
#define LBC_LOG_STATS(...)                                                                  \
    do {                                                                                    \
        CLogWriterInterface* lbcWriter_ = LogWriterLBCForThisThread();                      \
        if (lbcWriter_ && lbcWriter_->GetDebugLevel() >= 0)                                 \
            lbcWriter_->LogMessage(0, "", 0, 0, nullptr, __VA_ARGS__);                      \
    } while (0)
