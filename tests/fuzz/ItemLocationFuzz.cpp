// Item locations come from database rows, so they are untrusted input: any
// text must give an item or a clear error, never a crash or an open outside
// the data folder.

#include "platform/FXErrorUtil.h"
#include "store/FlatFileCacheItem.h"

#include <boost/any.hpp>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {
const std::string& DataFolder() {
    static const std::string folder = [] {
        char templ[] = "/tmp/lbc-fuzz-XXXXXX";
        std::string root = mkdtemp(templ);
        std::string data = root + "/DATA";
        mkdir(data.c_str(), 0755);
        return data;
    }();
    return folder;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string location(reinterpret_cast<const char*>(data), size);
    boost::any local;
    for (Cache::IntendedOp op : {Cache::INTENDED_OP_READ, Cache::INTENDED_OP_VALIDITY_TEST}) {
        try {
            FlatFileCacheItem item(location, op, DataFolder(), local, 0);
        } catch (const CZoError&) {
        }
    }
    return 0;
}
