#include "metadb/KeptAnswers.h"

#include <boost/make_shared.hpp>

namespace {

template <typename Answer>
bool SameVM(const Answer& answer, const VM& key) {
    return answer.row && answer.tessarelId == key.TessarelID && answer.copyId == key.CopyID &&
           answer.afileId == key.AfileID;
}

}  // namespace

bool KeptAnswers::FindVM(const VM& key, uint64_t changes, VM& row) const {
    boost::shared_ptr<const VM> found;
    {
        std::lock_guard<RankedMutex> guard(lock);
        for (const VMAnswer& answer : vms)
            if (SameVM(answer, key) && answer.changes == changes) found = answer.row;
    }
    if (!found) return false;
    row = *found;
    return true;
}

void KeptAnswers::KeepVM(const VM& key, uint64_t changes, const VM& row) {
    boost::shared_ptr<const VM> kept = boost::make_shared<const VM>(row);
    std::lock_guard<RankedMutex> guard(lock);
    VMAnswer* slot = nullptr;
    for (VMAnswer& answer : vms)
        if (SameVM(answer, key)) slot = &answer;
    if (slot == nullptr) {
        slot = &vms[nextVM];
        nextVM = (nextVM + 1) % kVMs;
    }
    slot->tessarelId = key.TessarelID;
    slot->copyId = key.CopyID;
    slot->afileId = key.AfileID;
    slot->changes = changes;
    slot->row = kept;
}
