#include "Extent.h"
#include "platform/FXString.h"

Extent::Extent(long long AfileID, long long AfileOffset, unsigned int TessarelID, unsigned int CopyID,
               long long JobID)
    : AfileID(AfileID),
      AfileOffset(AfileOffset),
      TessarelID(TessarelID),
      CopyID(CopyID),
      ExtentID(0),
      JobID(JobID),
      Flags(0) {}

std::string Extent::AsUniqueKey() const {
    return FXString::Format("%llu_%llu_%u_%u", static_cast<unsigned long long>(AfileID),
                            static_cast<unsigned long long>(AfileOffset), CopyID, TessarelID);
}

std::string Extent::description() const {
    return FXString::Format("afileID=[%llu] afileOffset=[%llu] cacheLocation[%s]",
                            static_cast<unsigned long long>(AfileID), static_cast<unsigned long long>(AfileOffset),
                            CacheLocation.c_str());
}
