#include "foundation/LogWriter.h"

#include <boost/smart_ptr/shared_ptr.hpp>

#include <atomic>
#include <cstdint>

// Defined with the facade (service/LiveBrowseCache.cpp), after g_dbgLBCInst and
// before the service globals: static destruction then releases the service
// first, the writer next and the engine's file record last.
extern boost::shared_ptr<CLogWriterInterface> g_ptrLogWriterLBC;

namespace {
// Bumped after every replacement of the writer. Each thread keeps its own
// reference and reloads only when this moved, so that the many trace lines on
// a request's road neither take the process-wide atomic_load spinlock nor
// bounce one reference count between cores.
std::atomic<uint64_t> g_writerGeneration{1};

// Set when this thread's t_writer is destroyed; trivially destructible, so it
// is still readable afterwards. A thread that logs after its own thread
// objects went (the main thread at exit, while static destruction releases
// the service) uses the global writer, which outlives the service.
thread_local bool t_writerDestroyed = false;

struct ThreadWriter {
    ~ThreadWriter() { t_writerDestroyed = true; }
    uint64_t generation = 0;
    boost::shared_ptr<CLogWriterInterface> writer;
};
thread_local ThreadWriter t_writer;
}  // namespace

CLogWriterInterface* LogWriterLBCForThisThread() {
    if (t_writerDestroyed) return boost::atomic_load(&g_ptrLogWriterLBC).get();
    uint64_t generation = g_writerGeneration.load(std::memory_order_acquire);
    if (t_writer.generation != generation) {
        t_writer.writer = boost::atomic_load(&g_ptrLogWriterLBC);
        t_writer.generation = generation;
    }
    return t_writer.writer.get();
}

boost::shared_ptr<CLogWriterInterface> LoadLogWriterLBC() { return boost::atomic_load(&g_ptrLogWriterLBC); }

void StoreLogWriterLBC(const boost::shared_ptr<CLogWriterInterface>& writer) {
    boost::atomic_store(&g_ptrLogWriterLBC, writer);
    g_writerGeneration.fetch_add(1, std::memory_order_acq_rel);
}
