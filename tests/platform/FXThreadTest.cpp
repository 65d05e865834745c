#include "platform/FXThread.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(FXThread, SleepLastsAtLeastTheGivenMilliseconds) {
    const auto start = std::chrono::steady_clock::now();
    FXThread::Sleep(0);
    FXThread::Sleep(25);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 25);
}

}  // namespace
