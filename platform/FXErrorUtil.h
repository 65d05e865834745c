#pragma once
// Makes and tests errors by category. A test matches the category and code
// the error was made with, whatever was pushed since; success matches nothing.

#include "CZoError.h"

#include <string>
#include <vector>

enum class FXErrorCategory { Int, Win32, ErrNo, SQLite };

// What an error carries; shared by every copy of one CZoError.
class FXErrorPrivate {
public:
    struct Frame {
        std::string file;
        std::string function;
        int line;
        std::string message;  // empty unless pushed with a message
    };

    FXErrorPrivate(FXErrorCategory category, int64_t code, std::string message)
        : category(category), code(code), message(std::move(message)) {}

    const FXErrorCategory category;
    const int64_t code;
    const std::string message;
    std::vector<Frame> frames;  // origin first, then each push
};

class FXErrorUtil {
public:
    static CZoError ErrorInt(const FXCodeLocation& at, int code);
    static CZoError ErrorInt(const FXCodeLocation& at, int code, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    static CZoError ErrorWin32(const FXCodeLocation& at, unsigned code);
    static CZoError ErrorWin32(const FXCodeLocation& at, unsigned code, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    static CZoError ErrorErrNo(const FXCodeLocation& at, int value);
    static CZoError ErrorSQLite(const FXCodeLocation& at, int code, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    static bool IsInt(const CZoError& err, int code);
    static bool IsNotInt(const CZoError& err, int code) { return !IsInt(err, code); }
    static bool IsWin32(const CZoError& err, unsigned code);
    static bool IsNotWin32(const CZoError& err, unsigned code) { return !IsWin32(err, code); }
    static bool IsErrNo(const CZoError& err, int code);
    static bool IsSQLite(const CZoError& err, int code);

    // The category and code of an error; false for success.
    static bool Describe(const CZoError& err, FXErrorCategory& category, int64_t& code);
};
