// Mount paths come from the media manager; any text must parse or be refused.

#include "platform/CFSInterface.h"
#include "store/CacheFileIO.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path(reinterpret_cast<const char*>(data), size);
    CFSInitParams params;
    CCacheFileIO::ParseDataServerMountPath(path, params);
    return 0;
}
