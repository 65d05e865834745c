#include "foundation/LogWriter.h"

#include <boost/smart_ptr/shared_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <type_traits>

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

// What a log line reads on every call, in one object that needs no
// construction and no destruction, so that a look-up is one access to the
// thread's storage and a compare. `writer` stays valid while t_reference
// holds it. `destroyed` is set when t_reference goes: a thread that logs
// after its own thread objects went (the main thread at exit, while static
// destruction releases the service) uses the global writer, which outlives
// the service.
struct ThreadWriter {
    uint64_t generation;  // 0: nothing loaded yet
    CLogWriterInterface* writer;
    bool destroyed;
};
static_assert(std::is_trivially_destructible<ThreadWriter>::value, "must stay readable at thread exit");
// Initial-exec: read at a fixed offset from the thread pointer, not through
// __tls_get_addr on every line; its few bytes fit the static TLS space that
// glibc keeps for a library loaded with dlopen.
__attribute__((tls_model("initial-exec"))) thread_local ThreadWriter t_writer{0, nullptr, false};

// This thread's reference to the writer it logs through; touched only when
// the writer was replaced.
struct ThreadReference {
    ~ThreadReference() {
        t_writer.writer = nullptr;
        t_writer.destroyed = true;
    }
    boost::shared_ptr<CLogWriterInterface> writer;
};
thread_local ThreadReference t_reference;

CLogWriterInterface* Reload(uint64_t generation) {
    t_reference.writer = boost::atomic_load(&g_ptrLogWriterLBC);
    t_writer.writer = t_reference.writer.get();
    t_writer.generation = generation;
    return t_writer.writer;
}
}  // namespace

CLogWriterInterface* LogWriterLBCForThisThread() {
    ThreadWriter& mine = t_writer;
    if (mine.destroyed) return boost::atomic_load(&g_ptrLogWriterLBC).get();
    const uint64_t generation = g_writerGeneration.load(std::memory_order_acquire);
    if (mine.generation == generation) return mine.writer;
    return Reload(generation);
}

boost::shared_ptr<CLogWriterInterface> LoadLogWriterLBC() { return boost::atomic_load(&g_ptrLogWriterLBC); }

void StoreLogWriterLBC(const boost::shared_ptr<CLogWriterInterface>& writer) {
    boost::atomic_store(&g_ptrLogWriterLBC, writer);
    g_writerGeneration.fetch_add(1, std::memory_order_acq_rel);
}
