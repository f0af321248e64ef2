// Parts of the transport that need no server.
#include <gtest/gtest.h>

#include <stdexcept>

#include "core/exceptions.h"
#include "platform/http.h"

TEST(HttpTimeout, ParsedLikeStolWithinSigned32Bits) {
    const struct {
        const char* text;
        int32_t value;
    } accepted[] = {{"30", 30}, {"30s", 30}, {"  7", 7}, {"+5", 5}, {"0", 0}, {"2147483647", 2147483647},
                    {"-2147483648", INT32_MIN}};
    for (const auto& c : accepted) {
        HTTP http("h", "1", "http");
        http.setTimeout(c.text);
        EXPECT_EQ(http.timeout, c.value) << c.text;
    }

    HTTP http("h", "1", "http");
    http.setTimeout("12");
    const struct {
        const char* text;
        bool outOfRange;
    } refused[] = {{"", false}, {"s30", false}, {"abc", false}, {"2147483648", true}, {"-2147483649", true},
                   {"99999999999999999999", true}};
    for (const auto& c : refused) {
        try {
            http.setTimeout(c.text);
            ADD_FAILURE() << c.text;
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.outOfRange) << c.text;
            EXPECT_STREQ(e.what(), "stol");
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(c.outOfRange) << c.text;
            EXPECT_STREQ(e.what(), "stol");
        }
        EXPECT_EQ(http.timeout, 12) << c.text;  // unchanged
    }
}

TEST(HttpInit, PrintsTheTimeoutLine) {
    HTTP http("h", "1", "http");
    http.setTimeout("42");
    testing::internal::CaptureStdout();
    http.init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "timeout = 42\n");
}

TEST(HttpGet, WithoutInitFailsAsTransportError) {
    HTTP http("127.0.0.1", "1", "http");
    try {
        http.getRequest("checkin");
        ADD_FAILURE();
    } catch (const MyExceptionTCP& e) {
        EXPECT_STREQ(e.what(), "A libcurl function was given a bad argument");
    }
}
