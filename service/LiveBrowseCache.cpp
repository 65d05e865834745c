#include "LiveBrowseCache.h"

#include "foundation/EvDebugWrapper.h"
#include "foundation/LogWriter.h"
#include "platform/XKPlatformObjects.h"

#include <boost/shared_ptr.hpp>

// Static destruction runs in reverse order of these definitions: whatever is
// defined below them (the service) goes first, then the writer, then the
// engine's file record that the writer's engine writes through.
EvDebugFileInstance g_dbgLBCInst;
boost::shared_ptr<CLogWriterInterface> g_ptrLogWriterLBC;

FXCriticalSection CLiveBrowseCache::singletonLock;

bool CLiveBrowseCache::InitializeLogging() {
    // The platform object is held for the whole set-up, as the platform's
    // debug-log engine expects of its callers.
    XKPI_PlatformBase platform;
    boost::shared_ptr<EvDebug> engine(new EvDebug(nullptr));
    XKPI_Focus::setFocus(XKPI_Focus::getFocus());
    if (engine->initialize(&g_dbgLBCInst, EvDebug::kMagic, 0, false, std::string()) == 0) return false;
    engine->refreshAllParams();

    boost::shared_ptr<CLogWriterInterface> writer(new CEvDebugWrapper(engine));
    // Named before it is published, so that no thread sees it unnamed.
    writer->SetLogAppName("LiveBrowseCache");
    StoreLogWriterLBC(writer);
    engine->debugWait();
    return true;
}
