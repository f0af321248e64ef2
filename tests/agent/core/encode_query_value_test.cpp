#include <gtest/gtest.h>

#include "core/debug_log.h"

TEST(EncodeQueryValue, EncodesEverythingButLettersDigitsAndSixMarks) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"1.2.3 x", "1%2e2%2e3%20x"},
        {"a-b_c", "a%2db%5fc"},
        {"(~*!')", "(~*!')"},
        {"7.1\n", "7%2e1%0a"},
        {"\xc3", "%c3"},
        {"", ""},
        {std::string("a\0b", 3), "a%00b"},
    };
    for (const auto& c : cases) EXPECT_EQ(encodeQueryValue(c.in), c.out) << c.in;
}
