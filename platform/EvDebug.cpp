#include "platform/EvDebug.h"

#include "platform/FXString.h"
#include "platform/LockOrder.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"

#include "CTimeStamp.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const char kConfigKey[] = "VirtualServer";
const char kFolderName[] = "sLBCLogFolder";
const char kLevelName[] = "nLBCDebugLevel";
const char kDefaultFolder[] = "/tmp/LiveBrowseCacheLogs";
const char kDefaultFileName[] = "LiveBrowseCache.log";
constexpr int kNoLevelOverride = INT_MIN;

std::atomic<bool> g_failNextInitialize{false};
std::atomic<int> g_levelOverride{kNoLevelOverride};

std::atomic<bool> g_capturing{false};
RankedMutex g_captureMutex(LockRank::DebugLog, "debug log capture");
// guarded by g_captureMutex; never destroyed: a forked child's exit must not
// free a buffer another thread of the parent was growing at the fork
std::vector<EvDebug::CapturedLine>& g_captured = *new std::vector<EvDebug::CapturedLine>();

long CurrentThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

// A signed decimal within int; anything else keeps the default.
bool ParseLevel(const std::string& text, int& level) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
    level = static_cast<int>(value);
    return true;
}

std::string TimeText() {
    int64_t ticks = SystemClock::NowTicks() - CTimeStamp::kUnixEpochTicks;
    time_t seconds = static_cast<time_t>(ticks / CTimeInterval::kUnitsPerSecond);
    int millis = static_cast<int>(ticks % CTimeInterval::kUnitsPerSecond / 10000);
    struct tm parts = {};
    localtime_r(&seconds, &parts);
    return FXString::Format("%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.tm_year + 1900, parts.tm_mon + 1,
                            parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
}

}  // namespace

EvDebugFileInstance::EvDebugFileInstance() : fd(-1) {}

EvDebugFileInstance::~EvDebugFileInstance() {
    if (fd >= 0) ::close(fd);
}

bool EvDebugFileInstance::Open(const std::string& folder, const std::string& fileName) {
    std::string wanted = folder + "/" + fileName;
    std::lock_guard<RankedMutex> guard(mutex);
    if (fd >= 0 && path == wanted) return true;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    int opened = ::open(wanted.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (opened < 0) return false;
    if (fd >= 0) ::close(fd);
    fd = opened;
    path = wanted;
    return true;
}

void EvDebugFileInstance::WriteLine(const std::string& line) {
    std::lock_guard<RankedMutex> guard(mutex);
    if (fd < 0) return;
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a log line has nowhere else to report its own failure
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string EvDebugFileInstance::Path() const {
    std::lock_guard<RankedMutex> guard(mutex);
    return fd >= 0 ? path : std::string();
}

ThLvlEvDebugFileInstance::ThLvlEvDebugFileInstance(EvDebugFileInstance* fileInstance)
    : fileInstance(fileInstance), threadId(CurrentThreadId()) {}

EvDebug::EvDebug(EvDebugFileInstance* instance) : fileInstance(instance), flags(instance == nullptr ? kFlagDetached : 0) {}

int EvDebug::initialize(EvDebugFileInstance* instance, unsigned magic, long long, bool, const std::string& name) {
    if (g_failNextInitialize.exchange(false)) return 0;
    if (instance == nullptr || magic != kMagic) return 0;
    {
        std::lock_guard<RankedMutex> guard(paramsMutex);
        logFileName = name.empty() ? std::string(kDefaultFileName) : name;
    }
    fileInstance.store(instance, std::memory_order_release);
    flags.fetch_and(~kFlagDetached, std::memory_order_release);
    return 1;
}

std::string EvDebug::FileName() const {
    std::lock_guard<RankedMutex> guard(paramsMutex);
    return logFileName.empty() ? std::string(kDefaultFileName) : logFileName;
}

void EvDebug::refreshAllParams() {
    XKPlatformInfo info;
    std::string folder = kDefaultFolder;
    info.getValue(kConfigKey, kFolderName, folder);
    if (folder.empty()) folder = kDefaultFolder;

    int level = 0;
    std::string levelText;
    if (info.getValue(kConfigKey, kLevelName, levelText)) ParseLevel(levelText, level);
    debugLevel.store(level, std::memory_order_relaxed);

    EvDebugFileInstance* instance = GetFileInstance();
    if (instance != nullptr) instance->Open(folder, FileName());
}

int EvDebug::getDebugLevel() const {
    int forced = g_levelOverride.load(std::memory_order_relaxed);
    return forced != kNoLevelOverride ? forced : debugLevel.load(std::memory_order_relaxed);
}

void EvDebug::setDebugLevel(int level) { debugLevel.store(level, std::memory_order_relaxed); }

void EvDebug::handleMsgEventDebug_NEW(int level, const char* function, unsigned line, int, unsigned long long jobId,
                                      const char* context, const char* format, va_list args) {
    if (level > getDebugLevel()) return;
    std::string text = FXString::FormatV(format, args);
    // One call, one line: a message's own line breaks would split it.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    if (function == nullptr) function = "";

    if (g_capturing.load(std::memory_order_acquire)) {
        std::lock_guard<RankedMutex> guard(g_captureMutex);
        if (g_capturing.load(std::memory_order_relaxed)) g_captured.push_back({level, function, line, jobId, text});
    }

    EvDebugFileInstance* instance = GetFileInstance();
    if (instance == nullptr) return;
    std::string out = FXString::Format("%s %d %ld %d [%s:%u] ", TimeText().c_str(), static_cast<int>(getpid()),
                                       CurrentThreadId(), level, function, line);
    if (jobId != 0) out += FXString::Format("job=%llu ", jobId);
    if (context != nullptr && *context != '\0') out += FXString::Format("<%s> ", context);
    out += text;
    out += '\n';
    instance->WriteLine(out);
}

std::string EvDebug::getClientName() { return XKPlatformInfo().getPhysicalMachine(); }

void EvDebug::TEST_StartCapture() {
    std::lock_guard<RankedMutex> guard(g_captureMutex);
    g_captured.clear();
    g_capturing.store(true, std::memory_order_release);
}

std::vector<EvDebug::CapturedLine> EvDebug::TEST_CapturedLines() {
    std::lock_guard<RankedMutex> guard(g_captureMutex);
    return g_captured;
}

void EvDebug::TEST_StopCapture() {
    std::lock_guard<RankedMutex> guard(g_captureMutex);
    g_capturing.store(false, std::memory_order_release);
}

void EvDebug::TEST_FailNextInitialize(bool fail) { g_failNextInitialize.store(fail); }

void EvDebug::TEST_SetDebugLevel(int level) { g_levelOverride.store(level); }

void EvDebug::TEST_ClearDebugLevel() { g_levelOverride.store(kNoLevelOverride); }
