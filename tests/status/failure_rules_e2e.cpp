// What a failed or odd status-script answer means for each area.
#include <nlohmann/json.hpp>

#include "e2e_support.h"

namespace status_e2e {
namespace {

const std::string MOBILE = R"({"Cell":"C1","LAC":"L1","PLMN":"P1"})";
const std::string MWAN = R"({"IP Address":"10.0.0.1","IPv6 Address":"Unassigned","SIM Card":"1"})";
const std::string MODULE = R"({"Model":"M"})";
const std::string SYS = R"({"Temperature":41})";
const std::string PORTS = R"({"Binary Output":"off"})";
const std::string WIFI = R"({"IP Address":"192.168.2.1"})";
std::string lan(const std::string& mac) { return R"({"MAC Address":")" + mac + R"("})"; }
std::string port(const std::string& mac) {
    return R"({"bridge":"N/A","ip6_addr":"N/A","ip_addr":"N/A","mac_addr":")" + mac +
           R"(","rx_data":"N/A","tx_data":"N/A"})";
}
const std::string CELLULAR =
    R"({"cell":"C1","channel":"N/A","connected":true,"ip6_address":"Unassigned","ip_address":"10.0.0.1","lac":"L1",)"
    R"("manufacturer":"N/A","model":"M","operator":"N/A","plmn":"P1","registration":"N/A","revision":"N/A",)"
    R"("signal_quality":"N/A","signal_strength":"N/A","sim_card":"1","technology":"N/A"})";
const std::string SYSTEM =
    R"({"binary_output":"off","firmware_version":"N/A","profile":"N/A","serial_number":"N/A",)"
    R"("supply_voltage":"N/A","temperature":41,"time":"N/A","uptime":"N/A"})";
const std::string WIFI_AREA =
    R"({"ip6_addr":"N/A","ip_addr":"192.168.2.1","mac_addr":"N/A","rx_data":"N/A","tx_data":"N/A"})";
const std::string WIFI_FAILED = "{\"msg\":\"Failed to fetch wifi status\"}\n";
const std::string FAILED = "!";  // an answer that stands for a failed query

struct Rule {
    const char* name;
    std::vector<std::pair<std::string, std::string>> answers;  // query -> answer
    std::vector<std::string> args;
    std::string out;
};

class FailureRule : public StatusTest, public testing::WithParamInterface<Rule> {};

TEST_P(FailureRule, PrintsExactly) {
    const Rule& rule = GetParam();
    // A failed query prints something that is no JSON: it must not be read.
    for (const auto& [query, text] : rule.answers) {
        if (text == FAILED) {
            answer(query, "status: " + query + " not available\n", 3);
        } else {
            answer(query, text);
        }
    }
    const auto r = kivstatus(rule.args);
    EXPECT_EQ(r.status >> 8, r.out.rfind("{\"msg\":", 0) == 0 ? 1 : 0);
    EXPECT_EQ(r.out, rule.out);
    EXPECT_EQ(r.err, "");
}

const std::vector<std::pair<std::string, std::string>> ALL_OK = {
    {"mobile", MOBILE}, {"mwan", MWAN},   {"module", MODULE}, {"lan 1", lan("A1")}, {"lan 2", lan("A2")},
    {"lan 3", lan("A3")}, {"sys", SYS}, {"ports", PORTS},   {"wifi", WIFI}};

std::vector<std::pair<std::string, std::string>> allOkBut(const std::vector<std::pair<std::string, std::string>>& changes) {
    auto answers = ALL_OK;
    for (const auto& [query, text] : changes) {
        for (auto& a : answers) {
            if (a.first == query) a.second = text;
        }
    }
    return answers;
}

INSTANTIATE_TEST_SUITE_P(
    Areas, FailureRule,
    testing::Values(
        Rule{"AllAnswer", ALL_OK, {"--status", "all"},
             R"({"cellular":)" + CELLULAR + R"(,"ethernet":{"eth0":)" + port("A1") + R"(,"eth1":)" + port("A2") +
                 R"(,"eth2":)" + port("A3") + R"(},"system":)" + SYSTEM + R"(,"wifi":)" + WIFI_AREA + "}\n"},
        // Nothing answers (no script answer at all).
        Rule{"NoneAnswerAll", {}, {"--status", "all"}, WIFI_FAILED},
        Rule{"NoneAnswerCell", {}, {"--status", "cell"}, "{\"cellular\":{}}\n"},
        Rule{"NoneAnswerCellPretty", {}, {"--status", "cell", "--pretty"}, "{\n    \"cellular\": {}\n}\n"},
        Rule{"NoneAnswerEth", {}, {"--status", "eth"}, "{\"ethernet\":{}}\n"},
        Rule{"NoneAnswerSys", {}, {"--status", "sys"}, "{\"system\":{}}\n"},
        Rule{"NoneAnswerWifi", {}, {"--status", "wifi"}, WIFI_FAILED},
        Rule{"NoneAnswerLoc", {}, {"--status", "loc"}, "{\"loc\":{\"cellular\":{},\"gps\":{},\"wifi\":{}}}\n"},
        // Cellular is all or nothing.
        Rule{"MobileFails", allOkBut({{"mobile", FAILED}}), {"--status", "cell"}, "{\"cellular\":{}}\n"},
        Rule{"MwanFails", allOkBut({{"mwan", FAILED}}), {"--status", "cell"}, "{\"cellular\":{}}\n"},
        Rule{"ModuleFails", allOkBut({{"module", FAILED}}), {"--status", "cell"}, "{\"cellular\":{}}\n"},
        Rule{"ModuleFailsInAll", allOkBut({{"module", FAILED}}), {"--status", "all"},
             R"({"cellular":{},"ethernet":{"eth0":)" + port("A1") + R"(,"eth1":)" + port("A2") + R"(,"eth2":)" +
                 port("A3") + R"(},"system":)" + SYSTEM + R"(,"wifi":)" + WIFI_AREA + "}\n"},
        // Ethernet: lan 1 decides, lan 2 and lan 3 only add ports.
        Rule{"Lan1Fails", allOkBut({{"lan 1", FAILED}}), {"--status", "eth"}, "{\"ethernet\":{}}\n"},
        Rule{"Lan1FailsPretty", allOkBut({{"lan 1", FAILED}}), {"--status", "eth", "--pretty"},
             "{\n    \"ethernet\": {}\n}\n"},
        Rule{"Lan2Fails", allOkBut({{"lan 2", FAILED}}), {"--status", "eth"},
             R"({"ethernet":{"eth0":)" + port("A1") + R"(,"eth2":)" + port("A3") + "}}\n"},
        Rule{"Lan2Unfitted", allOkBut({{"lan 2", lan("00:00:00:00:00:00")}}), {"--status", "eth"},
             R"({"ethernet":{"eth0":)" + port("A1") + R"(,"eth2":)" + port("A3") + "}}\n"},
        Rule{"Lan3Unfitted", allOkBut({{"lan 3", lan("00:00:00:00:00:00")}, {"lan 2", FAILED}}), {"--status", "eth"},
             R"({"ethernet":{"eth0":)" + port("A1") + "}}\n"},
        Rule{"Lan2EmptyObject", allOkBut({{"lan 2", "{}"}, {"lan 3", "[]"}}), {"--status", "eth"},
             R"({"ethernet":{"eth0":)" + port("A1") + "}}\n"},
        Rule{"Lan2Null", allOkBut({{"lan 2", "null"}}), {"--status", "eth"},
             R"({"ethernet":{"eth0":)" + port("A1") + R"(,"eth2":)" + port("A3") + "}}\n"},
        Rule{"Lan2WithoutMac", allOkBut({{"lan 2", R"({"Bridged":"yes"})"}, {"lan 3", R"({"MAC Address":0})"}}),
             {"--status", "eth"},
             R"({"ethernet":{"eth0":)" + port("A1") +
                 R"(,"eth1":{"bridge":"yes","ip6_addr":"N/A","ip_addr":"N/A","mac_addr":"N/A","rx_data":"N/A","tx_data":"N/A"})"
                 R"(,"eth2":{"bridge":"N/A","ip6_addr":"N/A","ip_addr":"N/A","mac_addr":0,"rx_data":"N/A","tx_data":"N/A"}}})"
                 "\n"},
        Rule{"Lan1NotAnObject", allOkBut({{"lan 1", "[]"}, {"lan 2", FAILED}, {"lan 3", FAILED}}), {"--status", "eth"},
             R"({"ethernet":{"eth0":)" + port("N/A") + "}}\n"},
        // System: both queries or nothing; optional port members only when answered.
        Rule{"SysFails", allOkBut({{"sys", FAILED}}), {"--status", "sys"}, "{\"system\":{}}\n"},
        Rule{"PortsFails", allOkBut({{"ports", FAILED}}), {"--status", "sys"}, "{\"system\":{}}\n"},
        Rule{"PortsEmpty", allOkBut({{"ports", "{}"}}), {"--status", "sys"},
             R"({"system":{"binary_output":"N/A","firmware_version":"N/A","profile":"N/A","serial_number":"N/A",)"
             R"("supply_voltage":"N/A","temperature":41,"time":"N/A","uptime":"N/A"}})"
             "\n"},
        Rule{"EveryPort",
             allOkBut({{"ports", R"({"Expansion Port 2":"b","Expansion Port 1":"a","Expansion Port":null,)"
                                 R"("Binary Input 1":1,"Binary Input 0":0,"Binary Input":true,"Binary Output":"on",)"
                                 R"("Binary Input 2":"not ours"})"}}),
             {"--status", "sys"},
             R"({"system":{"binary_input":true,"binary_input_0":0,"binary_input_1":1,"binary_output":"on",)"
             R"("expansion_port":null,"expansion_port_1":"a","expansion_port_2":"b","firmware_version":"N/A",)"
             R"("profile":"N/A","serial_number":"N/A","supply_voltage":"N/A","temperature":41,"time":"N/A","uptime":"N/A"}})"
             "\n"},
        // WiFi failing fails the whole report, also when everything else answers.
        Rule{"WifiFails", allOkBut({{"wifi", FAILED}}), {"--status", "wifi"}, WIFI_FAILED},
        Rule{"WifiFailsInAll", allOkBut({{"wifi", FAILED}}), {"--status", "all", "--pretty"}, WIFI_FAILED},
        Rule{"WifiFailsNotInLoc", allOkBut({{"wifi", FAILED}}), {"--status", "loc"},
             "{\"loc\":{\"cellular\":{\"cell\":\"C1\",\"ip_address\":\"10.0.0.1\",\"lac\":\"L1\",\"plmn\":\"P1\"},"
             "\"gps\":{},\"wifi\":{}}}\n"}),
    [](const testing::TestParamInfo<Rule>& info) { return std::string(info.param.name); });

TEST_F(StatusTest, MissingOrUnrunnableScriptIsAFailedQuery) {
    for (const bool present : {false, true}) {
        if (present) {
            sandbox::writeFile("/opt/kivclient/scripts/status.sh", "#!/bin/sh\necho '{}'\n", 0644);
        } else {
            sandbox::removeAll("/opt/kivclient/scripts/status.sh");
        }
        EXPECT_EQ(kivstatus({"--status", "cell"}).out, "{\"cellular\":{}}\n");
        const auto r = kivstatus({"--status", "all"});
        EXPECT_EQ(r.status >> 8, 1);
        EXPECT_EQ(r.out, WIFI_FAILED);
    }
}

TEST_F(StatusTest, ScriptKilledBySignalIsAFailedQuery) {
    sandbox::writeFile("/opt/kivclient/scripts/status.sh", "#!/bin/sh\necho '{}'\nkill -9 $$\n", 0755);
    EXPECT_EQ(kivstatus({"--status", "sys"}).out, "{\"system\":{}}\n");
}

// The library quotes the offending text; the quote and backslash in it are
// escaped so that the error object stays readable JSON.
TEST_F(StatusTest, ErrorMessageIsEscaped) {
    answer("wifi", "{\"IP Address\":\"10.0.0.1\\x\n");
    const auto r = kivstatus({"--status", "wifi"});
    EXPECT_EQ(r.status >> 8, 1);
    EXPECT_EQ(r.out, R"({"msg":"[json.exception.parse_error.101] parse error at line 1, column 25: syntax error )"
                     R"(while parsing value - invalid string: forbidden character after backslash; last read: )"
                     R"('\"10.0.0.1\\x'"})"
                     "\n");
    EXPECT_EQ(nlohmann::json::parse(r.out).at("msg"),
              "[json.exception.parse_error.101] parse error at line 1, column 25: syntax error while parsing value - "
              "invalid string: forbidden character after backslash; last read: '\"10.0.0.1\\x'");
}

// "connected" is false only when both address families read "Unassigned".
TEST_F(StatusTest, ConnectedFromTheMwanAddresses) {
    const struct {
        std::string mwan;
        bool connected;
    } cases[] = {
        {R"({"IP Address":"Unassigned","IPv6 Address":"Unassigned"})", false},
        {R"({"IPv6 Address":"Unassigned","IP Address":"Unassigned","SIM Card":"2"})", false},
        {R"({"IP Address":"10.0.0.1","IPv6 Address":"Unassigned"})", true},
        {R"({"IP Address":"Unassigned","IPv6 Address":"2001:db8::1"})", true},
        {R"({"IP Address":"10.0.0.1","IPv6 Address":"2001:db8::1"})", true},
        {R"({"IPv6 Address":"Unassigned"})", true},
        {R"({"IP Address":"Unassigned"})", true},
        {R"({"IP Address":"Unassigned","IPv6 Address":null})", true},
        {R"({"IP Address":["Unassigned"],"IPv6 Address":"Unassigned"})", true},
        {R"({"IP Address":"unassigned","IPv6 Address":"Unassigned"})", true},
        {R"({"IP Address":"Unassigned ","IPv6 Address":"Unassigned"})", true},
        {"{}", true},
        {"null", true},
    };
    answer("mobile", MOBILE);
    answer("module", MODULE);
    for (const auto& c : cases) {
        answer("mwan", c.mwan);
        const auto r = kivstatus({"--status", "cell"});
        ASSERT_EQ(r.status, 0) << c.mwan << r.out;
        const auto cellular = nlohmann::json::parse(r.out).at("cellular");
        EXPECT_EQ(cellular.at("connected"), c.connected) << c.mwan;
        const auto mwan = nlohmann::json::parse(c.mwan);
        const bool hasIp = mwan.is_object() && mwan.contains("IP Address");
        EXPECT_EQ(cellular.at("ip_address"), hasIp ? mwan.at("IP Address") : nlohmann::json("N/A")) << c.mwan;
    }
}

// A tested member of an answer that is no object: the JSON library's error.
TEST_F(StatusTest, TestedAnswerThatIsNoObjectGivesTheLibraryError) {
    const struct {
        std::string query;
        std::string text;
        std::string area;
        std::string type;
    } cases[] = {
        {"mwan", "[]", "cell", "array"},
        {"mwan", R"(["Unassigned"])", "cell", "array"},
        {"mwan", R"("Unassigned")", "cell", "string"},
        {"mwan", "7", "cell", "number"},
        {"lan 2", "[1]", "eth", "array"},
        {"lan 3", "false", "eth", "boolean"},
        {"lan 2", R"("")", "eth", "string"},
    };
    for (const auto& c : cases) {
        for (const auto& [query, text] : ALL_OK) answer(query, text);
        answer(c.query, c.text);
        const auto r = kivstatus({"--status", c.area});
        EXPECT_EQ(r.status >> 8, 1) << c.text;
        EXPECT_EQ(r.out, "{\"msg\":\"[json.exception.type_error.304] cannot use at() with " + c.type + "\"}\n")
            << c.text;
    }
}

}  // namespace
}  // namespace status_e2e
