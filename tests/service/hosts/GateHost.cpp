// A host that asks for the cache twice and prints what it got, one line per
// call ("instance" or "null"). Its configuration comes only from what a real
// host has: the seed file named by LBC_CONFIG_FILE, read at first use.

#include "LiveBrowseCache.h"

#include <cstdio>

int main() {
    for (int call = 0; call < 2; ++call) std::printf("%s\n", CLiveBrowseCache::GetInstance() ? "instance" : "null");
    CLiveBrowseCache::DestroyInstance();
    return 0;
}
