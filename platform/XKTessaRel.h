#pragma once
// The cell identity: the 64-bit id of a deployment cell, looked up by the
// cell's number (the Tessarel id carried by every cached extent). Here one
// process-wide answer that tests set: the deployment is one cell, whose id
// every number answers unless a test gives a number an id of its own.
//
// All members are thread-safe.

#include <cstdint>
#include <string>

class XKTessaRel {
public:
    enum : uint64_t { kDefaultCellId = 1 };

    explicit XKTessaRel(unsigned int number = 0) : number(number) {}
    ~XKTessaRel() = default;
    XKTessaRel(const XKTessaRel&) = default;
    XKTessaRel& operator=(const XKTessaRel&) = default;

    void setTessaRelNumber(unsigned int value) { number = value; }
    unsigned int getTessaRelNumber() const { return number; }
    // 0 and id set to the cell's id; otherwise a non-zero code, id unchanged
    // and, when reason is given, the cause in it.
    int getTessaRelId(uint64_t& id, std::string* reason) const;

    static void TEST_ResetAll();
    // This deployment cell's id (kDefaultCellId until set).
    static void TEST_SetCellId(uint64_t id);
    // The id of one cell number, in place of this cell's.
    static void TEST_SetCellId(unsigned int number, uint64_t id);
    // A non-zero code makes every lookup answer it (0 disarms).
    static void TEST_SetFailure(int code);
    static int TEST_Calls();

private:
    unsigned int number;
};
