#pragma once
// The platform's abstract log writer.

#include <boost/shared_ptr.hpp>
#include <cstdarg>
#include <string>

class CLogWriterInterfaceThreadWrapper {
public:
    virtual ~CLogWriterInterfaceThreadWrapper() = default;
};

class CLogWriterInterface {
public:
    virtual ~CLogWriterInterface() = default;

    virtual bool Initialize() = 0;
    virtual void SetLogAppName(const std::string& name) = 0;
    virtual void SetLogFileName(const std::string& name) = 0;
    virtual void LogMessage(int level, const char* function, unsigned line, unsigned long long jobId,
                            const char* context, const char* format, ...)
        __attribute__((format(printf, 7, 8))) = 0;
    virtual void LogMessageV(int level, const char* function, unsigned line, unsigned long long jobId,
                             const char* context, const char* format, va_list args) = 0;
    virtual void RefreshConfiguration() = 0;
    virtual int GetDebugLevel() = 0;
    virtual void SetDebugLevel(int level) = 0;
    virtual unsigned GetDebugMask() = 0;
    virtual void SetDebugMask(unsigned mask) = 0;
    virtual boost::shared_ptr<CLogWriterInterfaceThreadWrapper> GetThreadAttachment() = 0;
};
