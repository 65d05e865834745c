#pragma once
// Runs one request operation so that nothing it throws leaves the library:
// a thrown CZoError is returned with the caller's location pushed, and a throw
// that carries no error (an empty CZoError, a standard exception) still makes
// the request fail, never succeed with an empty or unopened handle.

#include "CZoError.h"
#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"

#include <exception>

// An older name of the public code, for callers that still use it.
const int kErrorUnexpectedThrow = LBCError::kUnexpectedThrow;

template <typename Operation>
CZoError RunRequest(const FXCodeLocation& at, Operation operation) {
    try {
        return operation();
    } catch (CZoError& thrown) {
        if (thrown.IsError()) return thrown.Push(at);
        return FXErrorUtil::ErrorInt(at, LBCError::kUnexpectedThrow, "A request step threw without an error");
    } catch (const std::exception& thrown) {
        return FXErrorUtil::ErrorInt(at, LBCError::kUnexpectedThrow, "A request step threw [%s]", thrown.what());
    }
}

// One extent request (a read or a write admission) as the host made it.
struct ExtentRequest {
    long long afileId;
    long long afileOffset;
    unsigned int tessarelId;
    unsigned int copyId;
    long long jobId;
    long long flags;
};
