#include "foundation/LogWriter.h"

#include <boost/smart_ptr/shared_ptr.hpp>

// Defined with the facade (service/LiveBrowseCache.cpp), after g_dbgLBCInst and
// before the service globals: static destruction then releases the service
// first, the writer next and the engine's file record last.
extern boost::shared_ptr<CLogWriterInterface> g_ptrLogWriterLBC;

boost::shared_ptr<CLogWriterInterface> LoadLogWriterLBC() { return boost::atomic_load(&g_ptrLogWriterLBC); }

void StoreLogWriterLBC(const boost::shared_ptr<CLogWriterInterface>& writer) {
    boost::atomic_store(&g_ptrLogWriterLBC, writer);
}
