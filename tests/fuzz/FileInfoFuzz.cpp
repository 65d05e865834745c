// Cache paths met while walking a location name their afile copy; any text
// must give ids or an error with zeroed outputs.

#include "platform/FXErrorUtil.h"
#include "store/CacheNamespace.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path(reinterpret_cast<const char*>(data), size);
    long long afileId = 1;
    unsigned tessarelId = 1, copyId = 1;
    CZoError err = CacheNamespace::GetFileInfo(path, afileId, tessarelId, copyId);
    if (err.IsError() && (afileId != 0 || tessarelId != 0 || copyId != 0)) abort();
    return 0;
}
