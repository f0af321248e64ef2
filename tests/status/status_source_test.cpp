// The rules every status area shares: the field copy rule, the member test,
// splitString, the error object and the nesting guard.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "status_source.h"

namespace {

using nlohmann::json;

TEST(CopyField, CopiesTheValueWithItsJsonType) {
    const json answer = json::parse(
        R"({"s":"x","i":-7,"f":41.5,"b":false,"n":null,"a":[1,"2"],"o":{"k":"v"},"e":""})");
    for (const char* name : {"s", "i", "f", "b", "n", "a", "o", "e"}) {
        EXPECT_EQ(copyField(answer, name), answer.at(name)) << name;
    }
    // Display names are matched exactly.
    EXPECT_EQ(copyField(json::parse(R"({"IP Address":"1"})"), "IP address"), "N/A");
}

TEST(CopyField, NotApplicableWhenMissingOrTheAnswerIsNoObject) {
    for (const char* text : {"{}", R"({"other":1})", "null", "[]", R"([{"Cell":"1"}])", "3", R"("Cell")", "true"}) {
        EXPECT_EQ(copyField(json::parse(text), "Cell"), "N/A") << text;
    }
}

TEST(TestedMember, ObjectOrNullAnswersAreReadOthersRaiseTheLibraryError) {
    const json answer = json::parse(R"({"MAC Address":"00:00:00:00:00:00"})");
    ASSERT_NE(testedMember(answer, "MAC Address"), nullptr);
    EXPECT_EQ(*testedMember(answer, "MAC Address"), "00:00:00:00:00:00");
    EXPECT_EQ(testedMember(answer, "IP Address"), nullptr);
    EXPECT_EQ(testedMember(json(), "IP Address"), nullptr);
    for (const char* text : {"[]", "[1]", "0", R"("x")", "false"}) {
        EXPECT_THROW(testedMember(json::parse(text), "IP Address"), json::type_error) << text;
    }
}

TEST(SplitString, ReadsPiecesTheWayLinesAreRead) {
    const struct {
        std::string text;
        std::vector<std::string> pieces;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a=b", {"a", "b"}},
        {"a=", {"a"}},
        {"=", {""}},
        {"=a", {"", "a"}},
        {"a==b", {"a", "", "b"}},
        {"a=b==", {"a", "b", ""}},
        {"==", {"", ""}},
        {"a\r=b\r", {"a\r", "b\r"}},
    };
    for (const auto& c : cases) EXPECT_EQ(splitString(c.text, '='), c.pieces) << c.text;
}

TEST(ErrorObject, PlainMessagesAreInsertedUnchanged) {
    for (const std::string msg :
         {"Failed to fetch wifi status", "", "[json.exception.parse_error.101] parse error at line 1, column 1: "
                                             "syntax error while parsing value - invalid literal; last read: 'x'",
          "path /opt/kivclient: caf\xc3\xa9 {}[]"}) {
        EXPECT_EQ(errorObject(msg), "{\"msg\":\"" + msg + "\"}");
    }
}

TEST(ErrorObject, EscapesWhatJsonRequiresAndStaysReadable) {
    const struct {
        std::string msg;
        std::string printed;
    } cases[] = {
        {"say \"hi\"", R"({"msg":"say \"hi\""})"},
        {"C:\\dir", R"({"msg":"C:\\dir"})"},
        {"a\nb\r\tc", R"({"msg":"a\nb\r\tc"})"},
        {std::string("nul\0here", 8), R"({"msg":"nul\u0000here"})"},
        {"\x01\x1f", R"({"msg":"\u0001\u001f"})"},
        {"bad \xff byte", "{\"msg\":\"bad \xef\xbf\xbd byte\"}"},
    };
    for (const auto& c : cases) {
        const std::string printed = errorObject(c.msg);
        EXPECT_EQ(printed, c.printed);
        const json parsed = json::parse(printed);  // strict reader, UTF-8 checked
        EXPECT_EQ(parsed.size(), 1u);
    }
}

TEST(JsonText, CompactOrIndentedByFourMembersInByteOrder) {
    json doc = json::object();
    doc["ip_address"] = "1";
    doc["ip6_address"] = "2";
    doc["empty"] = json::object();
    EXPECT_EQ(jsonText(doc, false), R"({"empty":{},"ip6_address":"2","ip_address":"1"})");
    EXPECT_EQ(jsonText(doc, true), "{\n    \"empty\": {},\n    \"ip6_address\": \"2\",\n    \"ip_address\": \"1\"\n}");
    // Text read from the plain sources may hold any bytes.
    EXPECT_EQ(jsonText(json("\xc0\x80"), false), "\"\xef\xbf\xbd\xef\xbf\xbd\"");
}

std::string nested(int depth, const std::string& inner = "1") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(ParseAnswer, RefusesNestingThatWouldExhaustTheStack) {
    EXPECT_NO_THROW(parseAnswer(nested(MAX_ANSWER_DEPTH)));
    EXPECT_THROW(parseAnswer(nested(MAX_ANSWER_DEPTH + 1)), std::runtime_error);
    EXPECT_THROW(parseAnswer(nested(1000000)), std::runtime_error);
    // Brackets inside strings, escaped quotes included, are text.
    const std::string text = R"({"a":")" + std::string(1000, '[') + R"(\"[[[["})";
    EXPECT_EQ(parseAnswer(text).at("a").get<std::string>().size(), 1005u);
}

TEST(ParseAnswer, NotJsonRaisesTheLibraryParseError) {
    for (const std::string& text : std::vector<std::string>{"", "not json", "{\"a\":1", "{} {}", "{\"a\":\"\xff\"}"}) {
        EXPECT_THROW(parseAnswer(text), json::parse_error) << text;
    }
    EXPECT_EQ(parseAnswer("{\"Cell\":\"1\"}\r\n"), json::parse(R"({"Cell":"1"})"));
}

}  // namespace
