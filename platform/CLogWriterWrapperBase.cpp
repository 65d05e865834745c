#include "platform/CLogWriterWrapperBase.h"

bool CLogWriterWrapperBase::Initialize() { return true; }

void CLogWriterWrapperBase::SetLogAppName(const std::string& name) {
    std::lock_guard<RankedMutex> guard(mutex);
    appName = name;
}

void CLogWriterWrapperBase::SetLogFileName(const std::string& name) {
    std::lock_guard<RankedMutex> guard(mutex);
    fileName = name;
}

unsigned CLogWriterWrapperBase::GetDebugMask() { return debugMask.load(std::memory_order_relaxed); }

void CLogWriterWrapperBase::SetDebugMask(unsigned mask) { debugMask.store(mask, std::memory_order_relaxed); }

std::string CLogWriterWrapperBase::GetLogAppName() const {
    std::lock_guard<RankedMutex> guard(mutex);
    return appName;
}

std::string CLogWriterWrapperBase::GetLogFileName() const {
    std::lock_guard<RankedMutex> guard(mutex);
    return fileName;
}
