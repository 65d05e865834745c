#include "platform/FXErrorUtil.h"

#include <gtest/gtest.h>

namespace {

CZoError Inner() { return FXErrorUtil::ErrorInt(FXLOC, 14, "lock of [%s] refused", "/x/lockfile"); }

CZoError Middle() {
    CZoError err = Inner();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

TEST(ZoError, SuccessIsNotAnErrorAndMatchesNoCode) {
    CZoError ok = CZoError::Success();
    EXPECT_FALSE(ok.IsError());
    EXPECT_FALSE(FXErrorUtil::IsInt(ok, 0));
    EXPECT_TRUE(FXErrorUtil::IsNotInt(ok, 14));
    EXPECT_TRUE(FXErrorUtil::IsNotWin32(ok, 18));
}

TEST(ZoError, EveryMakerGivesAnErrorOfItsCategory) {
    struct Case {
        CZoError err;
        bool isInt, isWin32, isErrNo, isSQLite;
    } cases[] = {
        {FXErrorUtil::ErrorInt(FXLOC, 5), true, false, false, false},
        {FXErrorUtil::ErrorInt(FXLOC, 5, "row %d", 1), true, false, false, false},
        {FXErrorUtil::ErrorWin32(FXLOC, 5), false, true, false, false},
        {FXErrorUtil::ErrorWin32(FXLOC, 5, "locked %s", "x"), false, true, false, false},
        {FXErrorUtil::ErrorErrNo(FXLOC, 5), false, false, true, false},
        {FXErrorUtil::ErrorSQLite(FXLOC, 5, "SQLite Exception%s%s", "", ""), false, false, false, true},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.err.IsError());
        EXPECT_EQ(c.isInt, FXErrorUtil::IsInt(c.err, 5));
        EXPECT_EQ(c.isWin32, FXErrorUtil::IsWin32(c.err, 5));
        EXPECT_EQ(c.isErrNo, FXErrorUtil::IsErrNo(c.err, 5));
        EXPECT_EQ(c.isSQLite, FXErrorUtil::IsSQLite(c.err, 5));
        EXPECT_FALSE(FXErrorUtil::IsInt(c.err, 6));
    }
}

TEST(ZoError, CodeSurvivesPushesAndTextHoldsEveryLocation) {
    CZoError err = Middle();
    for (int i = 0; i < 10; ++i) err.Push(FXLOC);
    err.Push(FXLOC, "while pruning %s", "afile 7");
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 14));
    std::string text = err.AsString();
    EXPECT_NE(std::string::npos, text.find("Int error 14"));
    EXPECT_NE(std::string::npos, text.find("lock of [/x/lockfile] refused"));
    EXPECT_NE(std::string::npos, text.find("CZoError {anonymous}::Inner()"));
    EXPECT_NE(std::string::npos, text.find("CZoError {anonymous}::Middle()"));
    EXPECT_NE(std::string::npos, text.find("ZoErrorTest.cpp:"));
    EXPECT_NE(std::string::npos, text.find("while pruning afile 7"));
}

TEST(ZoError, OuterErrorEmbedsInnerTextAsArgumentOnly) {
    CZoError inner = FXErrorUtil::ErrorInt(FXLOC, 44, "path [%s]", "/a/%s%n%d");
    CZoError outer = FXErrorUtil::ErrorInt(FXLOC, 21, "(error=%s)", inner.AsString().c_str());
    EXPECT_TRUE(FXErrorUtil::IsInt(outer, 21));
    EXPECT_FALSE(FXErrorUtil::IsInt(outer, 44));
    EXPECT_NE(std::string::npos, outer.AsString().find("/a/%s%n%d"));
}

TEST(ZoError, CopiesShareDetails) {
    CZoError first = FXErrorUtil::ErrorInt(FXLOC, 9);
    CZoError second;
    second = first;
    first.Push(FXLOC, "pushed-after-copy");
    EXPECT_NE(std::string::npos, second.AsString().find("pushed-after-copy"));
}

TEST(ZoError, ThrownByValueCaughtByReference) {
    try {
        throw FXErrorUtil::ErrorInt(FXLOC, 9, "error=%s", "x");
    } catch (const CZoError& e) {
        EXPECT_TRUE(FXErrorUtil::IsInt(e, 9));
    }
}

}  // namespace
