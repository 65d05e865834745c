#pragma once
// The cost of a store's own calls counted by callgrind: instructions,
// allocations and system calls per operation, which another process on the
// machine cannot change the way it changes a time.
//
// The driver (PrintCostTable) runs the benchmark itself once per store under
// callgrind with collection off; the measured process (--cost-run) turns
// collection on around each call of the store alone (CollectedCall) and
// dumps the counts at the end of each phase (EndPhase). The driver then
// reads the dumps and prints one row per store and phase.

#include <valgrind/callgrind.h>

#include <string>
#include <vector>

// Counts only what runs while it lives; nothing when not under callgrind.
class CollectedCall {
public:
    CollectedCall() { CALLGRIND_TOGGLE_COLLECT; }
    ~CollectedCall() { CALLGRIND_TOGGLE_COLLECT; }
    CollectedCall(const CollectedCall&) = delete;
    CollectedCall& operator=(const CollectedCall&) = delete;
};

// Dumps what was counted since the last dump, under the phase's name, and
// starts counting afresh.
inline void EndPhase(const char* phase) { CALLGRIND_DUMP_STATS_AT(phase); }

inline bool UnderValgrind() { return RUNNING_ON_VALGRIND != 0; }

// Runs `self --cost-run STORE FOLDER COUNT` under callgrind for each store,
// each of which writes COUNT extents and reads them back and dumps the phases
// "writes" and "reads", and prints the counts per operation. False when
// valgrind cannot be run or a run fails.
bool PrintCostTable(const std::string& self, const std::vector<std::string>& stores, const std::string& folder,
                    int count);
