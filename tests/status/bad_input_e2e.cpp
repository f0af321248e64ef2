// Whatever the sources print, kivstatus ends promptly with the document
// (exit 0) or the error object (exit 1), as valid JSON on one line.
#include <nlohmann/json.hpp>

#include "e2e_support.h"

namespace status_e2e {
namespace {

const std::vector<std::string> QUERIES = {"mobile", "mwan", "module", "lan 1", "lan 2",
                                          "lan 3",  "sys",  "ports",  "wifi"};
const std::vector<std::string> AREAS = {"cell", "eth", "sys", "wifi", "loc", "all"};
const std::map<std::string, std::vector<std::string>> MEMBERS = {
    {"cell", {"cellular"}}, {"eth", {"ethernet"}}, {"sys", {"system"}}, {"wifi", {"wifi"}}, {"loc", {"loc"}},
    {"all", {"cellular", "ethernet", "system", "wifi"}}};

struct Bad {
    const char* name;
    std::string text;    // every source prints it
    std::string exits;   // expected exit per area: cell eth sys wifi loc all
};

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

void PrintTo(const Bad& bad, std::ostream* os) { *os << bad.name; }

class BadInput : public StatusTest, public testing::WithParamInterface<Bad> {};

TEST_P(BadInput, EndsWithDocumentOrErrorObject) {
    const Bad& bad = GetParam();
    for (const auto& q : QUERIES) answer(q, bad.text);
    supplicantDump(bad.text);
    gpsPage(bad.text);
    for (size_t i = 0; i < AREAS.size(); ++i) {
        for (const bool pretty : {false, true}) {
            const std::string& area = AREAS[i];
            std::vector<std::string> args{"--status", area};
            if (pretty) args.push_back("--pretty");
            const auto r = kivstatus(args);
            ASSERT_FALSE(r.timedOut) << area;
            ASSERT_TRUE(WIFEXITED(r.status)) << area << " status " << r.status;
            EXPECT_EQ(WEXITSTATUS(r.status), bad.exits[i] - '0') << area;
            EXPECT_EQ(r.err, "") << area;
            ASSERT_FALSE(r.out.empty()) << area;
            EXPECT_EQ(r.out.back(), '\n') << area;
            nlohmann::json doc;
            ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << area << ": " << r.out.substr(0, 300);
            ASSERT_TRUE(doc.is_object()) << area;
            if (WEXITSTATUS(r.status) == 1) {
                EXPECT_EQ(doc.size(), 1u) << area;
                EXPECT_TRUE(doc.contains("msg") && doc["msg"].is_string()) << area;
                EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << area;  // one line, pretty or not
            } else {
                std::vector<std::string> members;
                for (const auto& item : doc.items()) members.push_back(item.key());
                EXPECT_EQ(members, MEMBERS.at(area)) << area;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, BadInput,
    testing::Values(
        Bad{"NotJson", "Operator: Vodafone\nCell: 0A1B\n", "111111"},
        Bad{"Empty", "", "111111"},
        Bad{"TwoDocuments", "{}{}", "111111"},
        Bad{"Array", "[1,2]", "110001"},
        Bad{"EmptyArray", "[]", "100001"},
        Bad{"Number", "42", "110001"},
        Bad{"String", "\"Unassigned\"", "110001"},
        Bad{"Null", "null", "000000"},
        Bad{"NumberInsteadOfObjectValue", R"({"IP Address":{"v":1},"MAC Address":[0],"Cell":1e308})", "000000"},
        Bad{"CrLf", "{\"IP Address\":\"Unassigned\",\r\n\"IPv6 Address\":\"Unassigned\"}\r\n", "000000"},
        Bad{"BinaryBytes", std::string("\x00\xff\xfe\x01{\x80}\n", 8), "111111"},
        Bad{"NulInsideObject", std::string("{\"Cell\":\"a\0b\"}", 14), "111111"},
        Bad{"BadUtf8InString", "{\"Cell\":\"\xc3\x28\"}\nbssid=\xff\nLatitude:\xfe\nLongitude:\xc0\n", "111111"},
        Bad{"Overflow", "{\"Cell\":1e400}", "111111"},
        Bad{"DeepNesting", nested(200000), "111111"},
        Bad{"DeepInsideObject", "{\"Cell\":" + nested(100000) + "}", "111111"},
        Bad{"HugeGarbage", std::string(8 << 20, 'x'), "111111"},
        Bad{"HugeValue", "{\"Cell\":\"" + std::string(4 << 20, 'c') + "\",\"MAC Address\":\"00\"}", "000000"}),
    [](const testing::TestParamInfo<Bad>& info) { return std::string(info.param.name); });

// Text from the plain sources that is not UTF-8 is replaced, not fatal.
TEST_F(StatusTest, BinaryBytesInDumpAndGpsPageStillGiveADocument) {
    supplicantDump(std::string("bssid=\xff\x00\xfe\n", 10));
    gpsPage("Latitude: 4\xe9" "7.5\nLongitude: \x80\n");
    const auto r = kivstatus({"--status", "loc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"loc\":{\"cellular\":{},\"gps\":{\"lat\":\" 4\xef\xbf\xbd" "7.5\",\"long\":\" \xef\xbf\xbd\"},"
                     "\"wifi\":{\"bssid\":\"\xef\xbf\xbd\\u0000\xef\xbf\xbd\"}}}\n");
}

}  // namespace
}  // namespace status_e2e
