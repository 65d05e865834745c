#pragma once
// Answers of one afile database's one-row reads, kept by its adapter so that
// the threads reading one afile need not each wait for its one connection.
//
// The invariant every answer handed out relies on: an answer is handed out
// only while the change count of its table (FX::CDatabaseBase::TableChanges)
// is the count read with it, in the same hold of the connection as the query
// that produced it, or as the statement that stored it (a VM row written
// whole is the table's one row of its copy). That count advances with every
// statement that changes the table's rows, every rollback and failed
// statement, every change of the schema and the close. And while its
// container holds the afile's lock file, the container's connection is the
// only writer of its staged database: so an answer handed out is the answer
// the engine would give at that moment.
//
// Bounded: a few VM rows per database, whatever its number of extents.
//
// Locks: its own lock, held only to copy a slot in or out (ranked in
// platform/LockOrder.h); it may be taken holding the connection.

#include "VM.h"
#include "platform/LockOrder.h"

#include <cstddef>
#include <cstdint>
#include <mutex>

class KeptAnswers {
public:
    KeptAnswers() = default;
    KeptAnswers(const KeptAnswers&) = delete;
    KeptAnswers& operator=(const KeptAnswers&) = delete;

    // The VM row read for the key's identity (TessarelID, CopyID, AfileID)
    // while the VMs table's count was `changes` (the count now); false when
    // none is kept for it.
    bool FindVM(const VM& key, uint64_t changes, VM& row) const;
    void KeepVM(const VM& key, uint64_t changes, const VM& row);

private:
    // The row is copied in and out under the lock: a copy into a slot's
    // own texts, whose room stays from one write to the next, allocates
    // nothing, where a row of its own per answer allocated on every write.
    struct VMAnswer {
        bool kept = false;
        unsigned int tessarelId = 0;
        unsigned int copyId = 0;
        long long afileId = 0;
        uint64_t changes = 0;
        VM row;
    };
    // An afile database holds the row of its one afile copy.
    static const size_t kVMs = 4;

    mutable RankedMutex lock{LockRank::KeptAnswers, "kept answers"};
    // guarded by lock
    VMAnswer vms[kVMs];
    size_t nextVM = 0;
};
