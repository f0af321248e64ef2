// The location area: cellular cell data, the supplicant dump's BSSID and the
// GPS page's position. Nothing is trimmed: blanks and CRs stay in values.
#include "e2e_support.h"

namespace status_e2e {
namespace {

// Without script answers "cellular" is the empty object.
std::string loc(const std::string& gps, const std::string& wifi) {
    std::string members = "\"cellular\":{},\"gps\":" + gps;
    if (!wifi.empty()) members += ",\"wifi\":" + wifi;
    return "{\"loc\":{" + members + "}}\n";
}

TEST_F(StatusTest, SupplicantDump) {
    const std::string noGps = "{}";
    const struct {
        const char* name;
        std::string dump;
        std::string wifi;  // the expected member, "" for none
    } cases[] = {
        {"single", "wpa_state=COMPLETED\nbssid=00:11:22:33:44:55\nssid=x\n", R"({"bssid":"00:11:22:33:44:55"})"},
        {"last line wins", "bssid=aa:aa\nssid=x\nbssid=bb:bb\nfreq=1\n", R"({"bssid":"bb:bb"})"},
        {"any line naming bssid", "bssid=aa:aa\np2p_bssid=cc:cc\n", R"({"bssid":"cc:cc"})"},
        {"no =", "bssid 00:11:22\n", R"({"bssid":"bssid 00:11:22"})"},
        {"several =", "bssid=a=b\n", R"({"bssid":"b"})"},
        {"no final newline", "ssid=x\nbssid=dd:dd", R"({"bssid":"dd:dd"})"},
        {"CR kept", "bssid=00:11:22:33:44:55\r\nssid=x\r\n", R"({"bssid":"00:11:22:33:44:55\r"})"},
        {"blank kept", "bssid= 00:11 \n", R"({"bssid":" 00:11 "})"},
        // An empty value stays empty instead of reading as "bssid".
        {"empty value", "bssid=\n", R"({"bssid":""})"},
        {"quote escaped", "bssid=a\"b\\c\n", R"({"bssid":"a\"b\\c"})"},
        {"no bssid line", "ssid=x\nwpa_state=SCANNING\n", ""},
        {"empty dump", "", ""},
    };
    for (const auto& c : cases) {
        supplicantDump(c.dump);
        const auto r = kivstatus({"--status", "loc"});
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, loc(noGps, c.wifi)) << c.name;
    }
    // A dump that cannot be read.
    sandbox::removeAll(DUMP);
    EXPECT_EQ(kivstatus({"--status", "loc"}).out, loc(noGps, "{}"));
    sandbox::makeDirs(DUMP);
    EXPECT_EQ(kivstatus({"--status", "loc"}).out, loc(noGps, "{}"));
}

TEST_F(StatusTest, GpsPage) {
    supplicantDump("");
    const struct {
        const char* name;
        std::string page;
        int exitCode;
        std::string gps;
    } cases[] = {
        {"position", "<pre>\nFix: 3D\nLatitude: 47.5\nLongitude: 8.1\n</pre>\n", 0, R"({"lat":" 47.5","long":" 8.1"})"},
        {"several colons", "Latitude: N 47:22:36\nLongitude: E 8:32:30\n", 0, R"({"lat":"36","long":"30"})"},
        {"no colon", "Latitude 47.5\nLongitude 8.1\n", 0, R"({"lat":"Latitude 47.5","long":"Longitude 8.1"})"},
        {"CR kept", "Latitude: 47.5\r\nLongitude: 8.1\r\n", 0, R"({"lat":" 47.5\r","long":" 8.1\r"})"},
        {"no final newline", "Latitude:47.5\nLongitude:8.1", 0, R"({"lat":"47.5","long":"8.1"})"},
        {"first latitude", "Latitude:1\nLatitude:2\nLongitude:3\nLongitude:4\n", 0, R"({"lat":"1","long":"3"})"},
        {"mid-line", "<td>Latitude:</td><td>47.5</td>\n<td>Longitude:</td><td>8.1</td>\n", 0,
         R"({"lat":"</td><td>47.5</td>","long":"</td><td>8.1</td>"})"},
        {"empty values", "Latitude:\nLongitude:\n", 0, R"({"lat":"","long":""})"},
        {"no latitude", "<pre>No fix</pre>\n", 0, "{}"},
        {"empty page", "", 0, "{}"},
        // No half position.
        {"latitude only", "Latitude: 47.5\n", 0, "{}"},
        {"longitude before latitude", "Longitude: 8.1\nLatitude: 47.5\n", 0, "{}"},
        {"page fails", "Latitude: 47.5\nLongitude: 8.1\n", 1, "{}"},
    };
    for (const auto& c : cases) {
        sandbox::removeAll(ANSWERS + "/gps.page.exit");
        gpsPage(c.page, c.exitCode);
        const auto r = kivstatus({"--status", "loc"});
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, loc(c.gps, "")) << c.name;
    }
    sandbox::removeAll("/opt/gps/www/index.cgi");
    EXPECT_EQ(kivstatus({"--status", "loc"}).out, loc("{}", ""));
}

TEST_F(StatusTest, LocationCellular) {
    const std::string mwan = R"({"IP Address":"10.0.0.1","IPv6 Address":"Unassigned"})";
    const std::string mobile = R"({"PLMN":"22801","LAC":"1F40","Cell":"0A1B","Operator":"X"})";
    const struct {
        const char* name;
        std::string mwan;
        std::string mobile;
        std::string cellular;
    } cases[] = {
        {"both", mwan, mobile, R"({"cell":"0A1B","ip_address":"10.0.0.1","lac":"1F40","plmn":"22801"})"},
        {"mobile fails", mwan, "", "{}"},
        {"mwan fails", "", mobile, R"({"cell":"0A1B","lac":"1F40","plmn":"22801"})"},
        {"copy rule", R"({"IP Address":null})", R"({"LAC":7})", R"({"cell":"N/A","ip_address":null,"lac":7,"plmn":"N/A"})"},
        {"not objects", "[1]", "5", R"({"cell":"N/A","ip_address":"N/A","lac":"N/A","plmn":"N/A"})"},
    };
    for (const auto& c : cases) {
        sandbox::removeAll(ANSWERS);
        sandbox::makeDirs(ANSWERS);
        if (!c.mwan.empty()) answer("mwan", c.mwan);
        if (!c.mobile.empty()) answer("mobile", c.mobile);
        const auto r = kivstatus({"--status", "loc"});
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, "{\"loc\":{\"cellular\":" + c.cellular + ",\"gps\":{},\"wifi\":{}}}\n") << c.name;
    }
}

TEST_F(StatusTest, LocationAnswerNotJsonGivesTheParseError) {
    answer("mwan", "{}");
    answer("mobile", "Cell: 0A1B\n");
    const auto r = kivstatus({"--status", "loc"});
    EXPECT_EQ(r.status >> 8, 1);
    EXPECT_EQ(r.out, "{\"msg\":\"[json.exception.parse_error.101] parse error at line 1, column 1: syntax error while "
                     "parsing value - invalid literal; last read: 'C'\"}\n");
}

}  // namespace
}  // namespace status_e2e
