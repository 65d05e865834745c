#include "platform/XKTessaRel.h"

#include "platform/FXString.h"
#include "platform/LockOrder.h"

#include <map>
#include <mutex>

namespace {

struct CellTable {
    RankedMutex mutex{LockRank::PlatformAnswers, "cell answers"};
    // guarded by mutex
    uint64_t cellId = XKTessaRel::kDefaultCellId;
    std::map<unsigned int, uint64_t> idsByNumber;
    int failure = 0;
    int calls = 0;
};

// Never destroyed: a pruner thread may still ask while the library unloads.
CellTable& Table() {
    static CellTable* table = new CellTable;
    return *table;
}

}  // namespace

int XKTessaRel::getTessaRelId(uint64_t& id, std::string* reason) const {
    CellTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    ++t.calls;
    if (t.failure != 0) {
        if (reason != nullptr) *reason = FXString::Format("no cell id for Tessarel number %u", number);
        return t.failure;
    }
    auto it = t.idsByNumber.find(number);
    id = it == t.idsByNumber.end() ? t.cellId : it->second;
    return 0;
}

void XKTessaRel::TEST_ResetAll() {
    CellTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.cellId = kDefaultCellId;
    t.idsByNumber.clear();
    t.failure = 0;
    t.calls = 0;
}

void XKTessaRel::TEST_SetCellId(uint64_t id) {
    CellTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.cellId = id;
}

void XKTessaRel::TEST_SetCellId(unsigned int number, uint64_t id) {
    CellTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.idsByNumber[number] = id;
}

void XKTessaRel::TEST_SetFailure(int code) {
    CellTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.failure = code;
}

int XKTessaRel::TEST_Calls() {
    CellTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.calls;
}
