#include "foundation/LogWriter.h"

#include <boost/smart_ptr/shared_ptr.hpp>

namespace {
boost::shared_ptr<CLogWriterInterface> g_ptrLogWriterLBC;
}

boost::shared_ptr<CLogWriterInterface> LoadLogWriterLBC() { return boost::atomic_load(&g_ptrLogWriterLBC); }

void StoreLogWriterLBC(const boost::shared_ptr<CLogWriterInterface>& writer) {
    boost::atomic_store(&g_ptrLogWriterLBC, writer);
}
