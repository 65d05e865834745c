#include "metadb/KeptAnswers.h"

namespace {

template <typename Answer>
bool SameVM(const Answer& answer, const VM& key) {
    return answer.kept && answer.tessarelId == key.TessarelID && answer.copyId == key.CopyID &&
           answer.afileId == key.AfileID;
}

}  // namespace

bool KeptAnswers::FindVM(const VM& key, uint64_t changes, VM& row) const {
    std::lock_guard<RankedMutex> guard(lock);
    for (const VMAnswer& answer : vms) {
        // `row` may be `key` itself: nothing of the key is read after the copy.
        if (answer.changes != changes || !SameVM(answer, key)) continue;
        row = answer.row;
        return true;
    }
    return false;
}

void KeptAnswers::KeepVM(const VM& key, uint64_t changes, const VM& row) {
    std::lock_guard<RankedMutex> guard(lock);
    VMAnswer* slot = nullptr;
    for (VMAnswer& answer : vms)
        if (SameVM(answer, key)) slot = &answer;
    if (slot == nullptr) {
        slot = &vms[nextVM];
        nextVM = (nextVM + 1) % kVMs;
    }
    slot->kept = true;
    slot->tessarelId = key.TessarelID;
    slot->copyId = key.CopyID;
    slot->afileId = key.AfileID;
    slot->changes = changes;
    slot->row = row;
}
