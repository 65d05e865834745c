#include "QueryParams.h"

#include "Extent.h"
#include "platform/FXString.h"

ExtentParam ExtentParam::Of(const Extent& extent) {
    ExtentParam key;
    key.AfileID = extent.AfileID;
    key.AfileOffset = extent.AfileOffset;
    key.TessarelID = extent.TessarelID;
    key.CopyID = extent.CopyID;
    key.JobID = extent.JobID;
    key.Flags = extent.Flags;
    return key;
}

std::string ExtentsParam::description() const {
    return FXString::Format("VM=[%s] JobID=[%llu] TRID=[%u] CopyID=[%u] AfileID=[%llu] Flags=[%d]", VM.c_str(),
                            static_cast<unsigned long long>(JobID), TessarelID, CopyID,
                            static_cast<unsigned long long>(AfileID), Flags);
}

std::string VMJobParam::description() const {
    return FXString::Format("AfileID=[%llu] VM=[%s] JobID=[%llu] TRID=[%u] CopyID=[%u]",
                            static_cast<unsigned long long>(AfileID), VM.c_str(),
                            static_cast<unsigned long long>(JobID), TessarelID, CopyID);
}
