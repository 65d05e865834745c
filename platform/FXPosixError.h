#pragma once
// Turns a failed POSIX call into the error the utility library reports.
// Callers test only "not found" by Win32 number (the end of a folder
// iteration, a missing file), so only those are translated; every other
// failure keeps its errno, which callers such as the pruner test directly.

#include "CZoError.h"

#include <string>

class FXPosixError {
public:
    // ENOENT -> Win32 2, ENOTDIR (a component is not a folder) -> Win32 3,
    // anything else -> ErrNo. The operation and path go into the message.
    static CZoError FromErrNo(const FXCodeLocation& at, int errnum, const char* operation,
                              const std::string& path);
    // As FromErrNo, for a path that must itself be a folder: ENOTDIR there
    // means the path names a file, Win32 267.
    static CZoError FromFolderErrNo(const FXCodeLocation& at, int errnum, const char* operation,
                                    const std::string& path);
};
