#pragma once
// The library's log lines for a test: a writer that keeps every line it is
// given, installed as the library-wide writer while a ScopedLogCapture lives.
// (The service's own capture of its debug lines is ServiceFixture's.)

#include "foundation/LogWriter.h"
#include "platform/FXString.h"

#include <boost/make_shared.hpp>
#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CapturingLogWriter : public CLogWriterInterface {
public:
    explicit CapturingLogWriter(int level) : level(level) {}

    bool Initialize() override { return true; }
    void SetLogAppName(const std::string&) override {}
    void SetLogFileName(const std::string&) override {}
    void LogMessage(int lineLevel, const char* function, unsigned line, unsigned long long jobId, const char* context,
                    const char* format, ...) override {
        va_list args;
        va_start(args, format);
        LogMessageV(lineLevel, function, line, jobId, context, format, args);
        va_end(args);
    }
    void LogMessageV(int lineLevel, const char*, unsigned, unsigned long long, const char*, const char* format,
                     va_list args) override {
        std::string text = FXString::FormatV(format, args);
        std::lock_guard<std::mutex> guard(lock);
        lines.emplace_back(lineLevel, text);
    }
    void RefreshConfiguration() override {}
    int GetDebugLevel() override { return level; }
    void SetDebugLevel(int newLevel) override { level = newLevel; }
    unsigned GetDebugMask() override { return 0; }
    void SetDebugMask(unsigned) override {}
    boost::shared_ptr<CLogWriterInterfaceThreadWrapper> GetThreadAttachment() override { return {}; }

    std::vector<std::pair<int, std::string>> Lines() {
        std::lock_guard<std::mutex> guard(lock);
        return lines;
    }
    // Lines of that level holding the text.
    size_t Count(int lineLevel, const std::string& text) {
        size_t n = 0;
        for (const auto& l : Lines())
            if (l.first == lineLevel && l.second.find(text) != std::string::npos) ++n;
        return n;
    }
    // Lines of any level holding the text.
    size_t CountAny(const std::string& text) {
        size_t n = 0;
        for (const auto& l : Lines())
            if (l.second.find(text) != std::string::npos) ++n;
        return n;
    }
    size_t Size() {
        std::lock_guard<std::mutex> guard(lock);
        return lines.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock);
        lines.clear();
    }

private:
    // atomic: read by every logging thread
    std::atomic<int> level;
    std::mutex lock;
    // guarded by lock
    std::vector<std::pair<int, std::string>> lines;
};

// Installs a capturing writer for one test; Uninstall (or the end of the
// object) puts the writer that was there before back, the lines stay.
class ScopedLogCapture {
public:
    explicit ScopedLogCapture(int level = 5)
        : writer(boost::make_shared<CapturingLogWriter>(level)), previous(LoadLogWriterLBC()) {
        StoreLogWriterLBC(writer);
    }
    ~ScopedLogCapture() { Uninstall(); }
    void Uninstall() {
        if (installed) StoreLogWriterLBC(previous);
        installed = false;
    }
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    CapturingLogWriter& operator*() { return *writer; }
    CapturingLogWriter* operator->() { return writer.get(); }

private:
    boost::shared_ptr<CapturingLogWriter> writer;
    boost::shared_ptr<CLogWriterInterface> previous;
    bool installed = true;
};
