#pragma once
// A process forked without exec inherits a copy of the library's memory: the
// parent's database connections, descriptors and their locks, staged copies,
// and objects of threads that do not exist in the child (only the forking
// thread goes on there, and a lock another thread held at the fork stays
// held). None of it is the child's: using it, or letting it go (a commit, a
// write-back, an unlock, a join), acts on the parent's state.
//
// What a process made is told from what it inherited by the fork generation:
// it changes in a child at its fork, before the child runs on, and stays the
// same for the rest of a process's life. The count is lock-free, so a child
// reads it whatever the parent's threads held.

#include <boost/shared_ptr.hpp>

#include <cstdint>

namespace ProcessFork {

uint64_t Generation();

// Keeps the object for the rest of the process, reachable from a global (a
// leak checker does not report it): what a child holds of its parent's is
// never destroyed there. Takes no lock.
void Abandon(const boost::shared_ptr<const void>& object);

}  // namespace ProcessFork

// The process its owner was made in.
class MadeInProcess {
public:
    MadeInProcess() : generation(ProcessFork::Generation()) {}
    // False in a forked child, for what the parent made.
    bool Here() const { return generation == ProcessFork::Generation(); }

private:
    const uint64_t generation;
};
