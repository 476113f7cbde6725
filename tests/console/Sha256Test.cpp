// The image digest: the standard's test vectors, and any split of the input giving one digest.
#include <gtest/gtest.h>

#include <string>

#include "console/Sha256.h"

using pellorin::Sha256;

namespace {
std::string Digest(const std::string& text) {
    Sha256 digest;
    digest.Update(text.data(), text.size());
    return digest.HexDigest();
}
}  // namespace

TEST(Sha256, MatchesTheStandardVectors) {
    EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first block.
    EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Digest(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, GivesTheSameDigestHoweverTheInputIsSplit) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += static_cast<char>(i * 7);
    const std::string whole = Digest(text);
    for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 200u}) {
        Sha256 digest;
        for (std::size_t at = 0; at < text.size(); at += piece)
            digest.Update(text.data() + at, std::min(piece, text.size() - at));
        EXPECT_EQ(digest.HexDigest(), whole) << "pieces of " << piece;
    }
}
