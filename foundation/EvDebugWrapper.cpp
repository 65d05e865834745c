#include "foundation/EvDebugWrapper.h"

CEvDebugWrapper::CEvDebugWrapper(boost::shared_ptr<EvDebug> engine) : evDebug(std::move(engine)) {}

void CEvDebugWrapper::LogMessage(int level, const char* function, unsigned line, unsigned long long jobId,
                                 const char* context, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(level, function, line, jobId, context, format, args);
    va_end(args);
}

void CEvDebugWrapper::LogMessageV(int level, const char* function, unsigned line, unsigned long long jobId,
                                  const char* context, const char* format, va_list args) {
    if (evDebug) evDebug->handleMsgEventDebug_NEW(level, function, line, -1, jobId, context, format, args);
}

void CEvDebugWrapper::RefreshConfiguration() {
    if (evDebug) evDebug->refreshAllParams();
}

int CEvDebugWrapper::GetDebugLevel() { return evDebug ? evDebug->getDebugLevel() : 0; }

void CEvDebugWrapper::SetDebugLevel(int level) {
    if (evDebug) evDebug->setDebugLevel(level);
}

boost::shared_ptr<CLogWriterInterfaceThreadWrapper> CEvDebugWrapper::GetThreadAttachment() {
    return boost::shared_ptr<CLogWriterInterfaceThreadWrapper>(new CEvDebugThreadInstanceWrapper(evDebug));
}

CEvDebugThreadInstanceWrapper::CEvDebugThreadInstanceWrapper(boost::shared_ptr<EvDebug> engine) {
    AttachThread(std::move(engine));
}

void CEvDebugThreadInstanceWrapper::AttachThread(boost::shared_ptr<EvDebug> engine) {
    evDebug = std::move(engine);
    EvDebugFileInstance* file = evDebug ? evDebug->GetFileInstance() : nullptr;
    if (file != nullptr) {
        threadInstance.reset(new ThLvlEvDebugFileInstance(file));
    } else {
        threadInstance.reset();
    }
}
