#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"

#include <boost/make_shared.hpp>
#include <cstdarg>
#include <cstdio>

namespace {

const char* CategoryName(FXErrorCategory category) {
    switch (category) {
        case FXErrorCategory::Int: return "Int";
        case FXErrorCategory::Win32: return "Win32";
        case FXErrorCategory::ErrNo: return "ErrNo";
        case FXErrorCategory::SQLite: return "SQLite";
    }
    return "?";
}

CZoError Make(const FXCodeLocation& at, FXErrorCategory category, int64_t code,
              std::string message) {
    auto details = boost::make_shared<FXErrorPrivate>(category, code, std::move(message));
    details->frames.push_back({at.file ? at.file : "", at.function ? at.function : "", at.line, ""});
    return CZoError(-1, details);
}

bool Matches(const CZoError& err, FXErrorCategory category, int64_t code) {
    const auto& d = err.Details();
    return err.IsError() && d && d->category == category && d->code == code;
}

}  // namespace

CZoError& CZoError::Push(const FXCodeLocation& at) {
    if (details) details->frames.push_back({at.file ? at.file : "", at.function ? at.function : "", at.line, ""});
    return *this;
}

CZoError& CZoError::Push(const FXCodeLocation& at, const char* format, ...) {
    if (details) {
        va_list args;
        va_start(args, format);
        std::string message = FXString::FormatV(format, args);
        va_end(args);
        details->frames.push_back(
            {at.file ? at.file : "", at.function ? at.function : "", at.line, std::move(message)});
    }
    return *this;
}

std::string CZoError::AsString() const {
    if (!IsError() || !details) return "Success";
    std::string out = CategoryName(details->category);
    out += " error ";
    out += std::to_string(details->code);
    if (!details->message.empty()) {
        out += ": ";
        out += details->message;
    }
    for (const auto& f : details->frames) {
        out += " [";
        out += f.file;
        out += ":";
        out += std::to_string(f.line);
        out += " ";
        out += f.function;
        if (!f.message.empty()) {
            out += ": ";
            out += f.message;
        }
        out += "]";
    }
    return out;
}

CZoError FXErrorUtil::ErrorInt(const FXCodeLocation& at, int code) {
    return Make(at, FXErrorCategory::Int, code, std::string());
}

CZoError FXErrorUtil::ErrorInt(const FXCodeLocation& at, int code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    return Make(at, FXErrorCategory::Int, code, std::move(message));
}

CZoError FXErrorUtil::ErrorWin32(const FXCodeLocation& at, unsigned code) {
    return Make(at, FXErrorCategory::Win32, code, std::string());
}

CZoError FXErrorUtil::ErrorWin32(const FXCodeLocation& at, unsigned code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    return Make(at, FXErrorCategory::Win32, code, std::move(message));
}

CZoError FXErrorUtil::ErrorErrNo(const FXCodeLocation& at, int value) {
    return Make(at, FXErrorCategory::ErrNo, value, std::string());
}

CZoError FXErrorUtil::ErrorSQLite(const FXCodeLocation& at, int code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    return Make(at, FXErrorCategory::SQLite, code, std::move(message));
}

bool FXErrorUtil::IsInt(const CZoError& err, int code) {
    return Matches(err, FXErrorCategory::Int, code);
}

bool FXErrorUtil::IsWin32(const CZoError& err, unsigned code) {
    return Matches(err, FXErrorCategory::Win32, code);
}

bool FXErrorUtil::IsErrNo(const CZoError& err, int code) {
    return Matches(err, FXErrorCategory::ErrNo, code);
}

bool FXErrorUtil::IsSQLite(const CZoError& err, int code) {
    return Matches(err, FXErrorCategory::SQLite, code);
}

bool FXErrorUtil::Describe(const CZoError& err, FXErrorCategory& category, int64_t& code) {
    const auto& d = err.Details();
    if (!err.IsError() || !d) return false;
    category = d->category;
    code = d->code;
    return true;
}
