#include "VM.h"
#include "platform/FXString.h"

#include <utility>

VM::VM() : JobID(0), LastReferenceTime(0), TessarelID(0), CopyID(0), AfileID(0) {}

VM::VM(unsigned int TessarelID, unsigned int CopyID, long long AfileID, std::string GUID, long long JobID,
       long long LastReferenceTime, std::string ValidityGUID)
    : GUID(std::move(GUID)),
      JobID(JobID),
      LastReferenceTime(LastReferenceTime),
      ValidityGUID(std::move(ValidityGUID)),
      TessarelID(TessarelID),
      CopyID(CopyID),
      AfileID(AfileID) {}

std::string VM::description() const {
    return FXString::Format(
        "AfileID=[%llu] TessarelID=[%u] CopyID=[%u] VMGUID=[%s] jobID=[%llu] LastReferenceTime[%lu] "
        "validityGUID[%s]",
        static_cast<unsigned long long>(AfileID), TessarelID, CopyID, GUID.c_str(),
        static_cast<unsigned long long>(JobID), static_cast<unsigned long>(LastReferenceTime),
        ValidityGUID.c_str());
}
