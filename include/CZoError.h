#pragma once
// The error object every operation returns, and the code location pushed onto
// it as it travels up.

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

// A source location. Points at static texts only and owns nothing.
struct FXCodeLocation {
    FXCodeLocation(const char* file, const char* function, int line)
        : file(file), function(function), line(line) {}

    const char* file;      // base name of the source file
    const char* function;  // the compiler's pretty-function text
    int32_t line;
};

// The location of the current line: base file name, full signature, line.
#define FXLOC FXCodeLocation(__FILE_NAME__, __PRETTY_FUNCTION__, __LINE__)

class FXErrorPrivate;

// Status 0 is success; every error has a negative status and shared details.
// Copies share the details: a push on one copy shows in all of them.
class CZoError {
public:
    CZoError() : code(0) {}
    CZoError(int32_t status, boost::shared_ptr<FXErrorPrivate> details)
        : code(status), details(std::move(details)) {}

    static CZoError Success() { return CZoError(); }
    bool IsError() const { return code < 0; }

    CZoError& Push(const FXCodeLocation& location);
    CZoError& Push(const FXCodeLocation& location, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Category, code, messages and every pushed location, for log lines and
    // for embedding into an outer error.
    std::string AsString() const;

    const boost::shared_ptr<FXErrorPrivate>& Details() const { return details; }

private:
    int32_t code;
    boost::shared_ptr<FXErrorPrivate> details;
};
