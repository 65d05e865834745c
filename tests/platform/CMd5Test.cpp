#include "platform/CMd5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Hex(const unsigned char* code) {
    std::string out;
    char two[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(two, sizeof(two), "%02x", code[i]);
        out += two;
    }
    return out;
}

std::string Digest(const std::string& text) {
    CMd5 md5;
    md5.Start();
    md5.Process(text.data(), static_cast<uint32_t>(text.size()));
    md5.End();
    unsigned char code[16];
    if (!md5.GetCode(code)) return "no code";
    return Hex(code);
}

TEST(CMd5, MatchesTheRfc1321TestSuite) {
    struct Case {
        const char* text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) EXPECT_EQ(Digest(c.text), c.digest) << "[" << c.text << "]";
    // The cache names its bucket folders by this digest.
    EXPECT_EQ(Digest("afile_812_1_2"), "c1fe943ada5c04562110fc3161deb088");
}

TEST(CMd5, PiecesAndZeroBytesCountLikeOneText) {
    const std::string text("ab\0cd", 5);
    CMd5 md5;
    md5.Start();
    md5.Process(text.data(), 2);
    md5.Process(text.data() + 2, 0);
    md5.Process(text.data() + 2, 3);
    md5.End();
    unsigned char code[16];
    ASSERT_TRUE(md5.GetCode(code));
    EXPECT_EQ(Hex(code), Digest(text));
    EXPECT_NE(Digest(text), Digest("ab"));
}

TEST(CMd5, CodeOnlyAfterEndAndRestartable) {
    CMd5 md5;
    unsigned char code[16];
    EXPECT_FALSE(md5.GetCode(code));
    md5.Start();
    md5.Process("abc", 3);
    EXPECT_FALSE(md5.GetCode(code));
    md5.End();
    md5.End();  // keeps the completed digest
    ASSERT_TRUE(md5.GetCode(code));
    EXPECT_EQ(Hex(code), "900150983cd24fb0d6963f7d28e17f72");
    md5.Start();
    md5.End();
    ASSERT_TRUE(md5.GetCode(code));
    EXPECT_EQ(Hex(code), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
