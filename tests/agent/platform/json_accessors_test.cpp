#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "core/exceptions.h"
#include "platform/cloud_services.h"
#include "unit/fake_client.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct Answer {
    Aggregator device;
    FakeClient client;
    CloudServices services {&device, &client};
    explicit Answer(const std::string& body) { services.response = body; }
};

TEST(JsonAccessors, StringValueIsTheTextOfAStringMemberOnly) {
    const struct {
        const char* body;
        const char* key;
        std::string value;
    } cases[] = {
        {R"({"ResponseMessage":"Success","X":1})", "ResponseMessage", "Success"},
        {R"({"ResponseMessage":null})", "ResponseMessage", ""},
        {R"({"ResponseMessage":5})", "ResponseMessage", ""},
        {R"({"ResponseMessage":true})", "ResponseMessage", ""},
        {R"({"ResponseMessage":{"a":"b"}})", "ResponseMessage", ""},
        {R"({"ResponseMessage":["a"]})", "ResponseMessage", ""},
        {R"({"Other":"x"})", "ResponseMessage", ""},
        {R"({"responsemessage":"x"})", "ResponseMessage", ""},  // case-sensitive
        {"{}", "ResponseMessage", ""},
        {"[1,2]", "ResponseMessage", ""},
        {"\"NoActivity\"", "ResponseMessage", ""},
        {R"({"Path":"a\u0000b"})", "Path", std::string("a\0b", 3)},
        {R"({"Name":"caf\u00e9"})", "Name", "caf\xc3\xa9"},
    };
    for (const auto& c : cases) {
        Answer a(c.body);
        EXPECT_EQ(a.services.getJSONStringValue(c.key), c.value) << c.body;
    }
}

TEST(JsonAccessors, ArrayValueGivesEveryElementAsText) {
    EXPECT_THAT(Answer(R"({"args":["-a",5,true,1.5,{"k":"v"}]})").services.getJSONArrayStringValue("args"),
                ElementsAre("-a", "5", "true", "1.5", "{ \"k\": \"v\" }"));
    for (const char* body : {R"({"args":"x"})", R"({"args":null})", R"({"other":[1]})", "{}", "[1]", R"({"args":[]})"}) {
        EXPECT_THAT(Answer(body).services.getJSONArrayStringValue("args"), IsEmpty()) << body;
    }
}

TEST(JsonAccessors, NonJsonRaisesMyExceptionButMissingKeysDoNot) {
    for (const char* body : {"", "Success", "<html>", "{\"a\":"}) {
        Answer a(body);
        try {
            a.services.getJSONStringValue("a");
            ADD_FAILURE() << body;
        } catch (const MyException& e) {
            EXPECT_STREQ(e.what(), "Bad JSON format of response");
        }
        EXPECT_THROW(a.services.getJSONArrayStringValue("a"), MyException) << body;
    }
}

TEST(JsonAccessors, UnquotedResponseDropsFirstAndLastCharacter) {
    EXPECT_EQ(Answer("\"NoActivity\"").services.unquotedResponse(), "NoActivity");
    EXPECT_EQ(Answer("NoActivity").services.unquotedResponse(), "oActivit");
    EXPECT_EQ(Answer("x").services.unquotedResponse(), "");
    EXPECT_THROW(Answer("").services.unquotedResponse(), std::out_of_range);
}

}  // namespace
