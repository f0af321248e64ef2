#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/startup.h"

namespace {
const std::string ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
}

TEST(GenRandom, DrawsTheRequestedLengthFromTheAlphabet) {
    const std::string a = gen_random(15);
    const std::string b = gen_random(15);
    EXPECT_EQ(a.size(), 15u);
    EXPECT_EQ(a.find_first_not_of(ALPHABET), std::string::npos) << a;
    EXPECT_EQ(b.find_first_not_of(ALPHABET), std::string::npos) << b;
    EXPECT_NE(a, b);
    EXPECT_EQ(gen_random(0), "");
}

// Reducing a random byte modulo 62 would make the first 8 characters a quarter
// more likely than the others; every character must be equally likely.
TEST(GenRandom, EveryCharacterIsEquallyLikely) {
    const size_t perChar = 4000;
    const std::string text = gen_random(ALPHABET.size() * perChar);
    std::map<char, size_t> counts;
    for (const char c : text) ++counts[c];
    ASSERT_EQ(counts.size(), ALPHABET.size());
    for (const auto& [c, n] : counts) {
        // About 6 standard deviations either way; the bias would be 25 %.
        EXPECT_GT(n, perChar * 9 / 10) << c;
        EXPECT_LT(n, perChar * 11 / 10) << c;
    }
}
