#include "platform/FXPosixError.h"

#include "platform/FXErrorUtil.h"
#include "platform/Win32Constants.h"

#include <cerrno>

CZoError FXPosixError::FromErrNo(const FXCodeLocation& at, int errnum, const char* operation,
                                 const std::string& path) {
    if (errnum == ENOENT)
        return FXErrorUtil::ErrorWin32(at, ERROR_FILE_NOT_FOUND, "%s [%s]: not found", operation, path.c_str());
    if (errnum == ENOTDIR)
        return FXErrorUtil::ErrorWin32(at, ERROR_PATH_NOT_FOUND, "%s [%s]: path not found", operation,
                                       path.c_str());
    CZoError err = FXErrorUtil::ErrorErrNo(at, errnum);
    err.Push(at, "%s [%s]", operation, path.c_str());
    return err;
}

CZoError FXPosixError::FromFolderErrNo(const FXCodeLocation& at, int errnum, const char* operation,
                                       const std::string& path) {
    if (errnum == ENOTDIR)
        return FXErrorUtil::ErrorWin32(at, ERROR_DIRECTORY, "%s [%s]: not a folder", operation, path.c_str());
    return FromErrNo(at, errnum, operation, path);
}
