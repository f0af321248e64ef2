// The platform simulator in-process on a free loopback port: its device
// rules, admin interface, error answers, faults and saved state.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "sandbox/sandbox.h"
#include "sim_client.h"
#include "simulator.h"
#include "temp_dir.h"

using simtest::Answer;
using simtest::json;
using simtest::SimClient;

namespace {

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override { start(); }

    void start(bool fresh = false, const std::string& scenario = "") {
        kivsim::Options o;
        o.httpPort = 0;
        o.httpsPort = -1;
        o.dataDir = dir.path();
        o.fresh = fresh;
        o.scenarioFile = scenario;
        sim = std::make_unique<kivsim::Simulator>(o);
        sim->start();
        client = std::make_unique<SimClient>("127.0.0.1", sim->httpPort());
    }
    void restart(bool fresh = false) {
        client.reset();
        sim.reset();
        start(fresh);
    }

    // A registered and logged-in device.
    std::pair<std::string, std::string> enrol(const std::string& id = "DEV001", const std::string& pw = "pw1") {
        const std::string uuid = client->registerDevice("GB", "LDN", id, pw);
        return {uuid, client->login(uuid, pw)};
    }
    std::string auth(const std::pair<std::string, std::string>& d) {
        return "deviceuuid=" + d.first + "&token=" + d.second;
    }
    json reports(const std::string& id) { return client->adminJson("GET", "devices/" + id + "/reports"); }

    TempDir dir;
    std::unique_ptr<kivsim::Simulator> sim;
    std::unique_ptr<SimClient> client;
};

// ---- device rules ------------------------------------------------------

TEST_F(SimulatorTest, RegistrationLoginAndTokens) {
    EXPECT_EQ(client->device("login?deviceuuid=&password=pw1&firmware=7&orbletversion=1").asJson(),
              json({{"ResponseMessage", "UnknownDevice"}}));

    const json reg = client->device("register?countrycode=GB&sitecode=LDN&id=DEV001&password=pw1&firmware=7.1"
                                    "&macaddress=00:11")
                         .asJson();
    ASSERT_EQ(reg["ResponseMessage"], "Success");
    const std::string uuid = reg["DeviceUUID"];
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(client->registerDevice("GB", "LDN", "DEV001", "other"), "");
    EXPECT_EQ(client->device("register?countrycode=GB&sitecode=LDN&id=DEV001&password=x&firmware=7&macaddress=m")
                  .asJson()["ResponseMessage"],
              "AlreadyRegistered");

    const json wrong = client->device("login?deviceuuid=" + uuid + "&password=nope&firmware=7&orbletversion=1").asJson();
    EXPECT_EQ(wrong["ResponseMessage"], "InvalidPassword");
    EXPECT_FALSE(wrong.contains("AuthenticationToken"));

    const std::string first = client->login(uuid, "pw1");
    const std::string second = client->login(uuid, "pw1");
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, second);
    EXPECT_EQ(client->checkin(uuid, first), "\"InvalidToken\"") << "a new login replaces the token";
    EXPECT_EQ(client->checkin(uuid, second), "\"NoActivity\"");
    EXPECT_EQ(client->checkin(uuid, ""), "\"InvalidToken\"");
    EXPECT_EQ(client->checkin("no-such-uuid", second), "\"InvalidToken\"");

    const json d = client->adminJson("GET", "devices/GB-LDN-DEV001");
    EXPECT_EQ(d["uuid"], uuid);
    EXPECT_EQ(d["firmware"], "7.1");
    EXPECT_EQ(d["orbletVersion"], "1.0");
    EXPECT_EQ(d["logins"], 2);
    EXPECT_EQ(d["checkins"], 1);
}

TEST_F(SimulatorTest, ManufacturedListDecidesWhoMayRegister) {
    ASSERT_EQ(client->admin("PUT", "manufactured",
                            R"({"required":true,"devices":[{"countryCode":"GB","siteCode":"LDN","devId":"A1"},
                                {"countryCode":"GB","siteCode":"LDN","devId":"B2","macAddress":"aa:bb"}]})")
                  .status,
              200);
    auto reg = [&](const std::string& id, const std::string& mac) {
        return client
            ->device("register?countrycode=GB&sitecode=LDN&id=" + id + "&password=p&firmware=7&macaddress=" + mac)
            .asJson()["ResponseMessage"];
    };
    EXPECT_EQ(reg("ZZ", "aa:bb"), "NotInManufactured");
    EXPECT_EQ(reg("B2", "cc:dd"), "NotInManufactured") << "the listed MAC address must match";
    EXPECT_EQ(reg("A1", "anything"), "Success");
    EXPECT_EQ(reg("B2", "aa:bb"), "Success");

    client->admin("PUT", "manufactured", R"({"required":false})");
    EXPECT_EQ(reg("ZZ", "aa:bb"), "Success");
}

TEST_F(SimulatorTest, CommandsAreHandedOutInOrderWithTheirInstructions) {
    auto dev = enrol();
    const Answer queued = client->admin("POST", "devices/" + dev.first + "/commands", R"([
        {"name":"Command","instructions":{"key":"uptime","args":["-p"]}},
        {"name":"SetConfig","instructions":{"url":"{files}/router.cfg"}},
        {"name":"DownloadSettings","instructions":{"InstallationName":"n","InstallationGUID":"g",
                                                   "SettingsFileName":"lan.eth","SettingsFileText":"A=1\n"}},
        {"name":"InstallNewApp","instructions":{"InstallationPackage":"{files}/app.tgz","AppName":"app"}},
        "SystemLog"])");
    ASSERT_EQ(queued.status, 200) << queued.body;

    // Instructions are only there once the command has been handed out.
    EXPECT_EQ(client->device("command?" + auth(dev)).status, 409);

    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"Command\"");
    EXPECT_EQ(client->device("command?" + auth(dev)).asJson(), json({{"key", "uptime"}, {"args", {"-p"}}}));

    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"SetConfig\"");
    const Answer url = client->device("setconfig?" + auth(dev));
    EXPECT_EQ(url.body, "http://127.0.0.1:" + std::to_string(sim->httpPort()) + "/files/router.cfg")
        << "the URL is the whole body and points back at this server";

    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"DownloadSettings\"");
    const json settings = client->device("getsettingsfile?" + auth(dev)).asJson();
    EXPECT_EQ(settings["SettingsFile"], "QT0xCg==") << "plain text is sent base64-encoded";
    EXPECT_FALSE(settings.contains("SettingsFileText"));

    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"InstallNewApp\"");
    EXPECT_EQ(client->device("getnewapppackage?" + auth(dev)).asJson()["InstallationPackage"],
              "http://127.0.0.1:" + std::to_string(sim->httpPort()) + "/files/app.tgz");

    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"SystemLog\"");
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"NoActivity\"") << "an empty queue means NoActivity";

    // The instructions of an earlier command stay until the next of its kind.
    EXPECT_EQ(client->device("command?" + auth(dev)).status, 200);
    EXPECT_EQ(client->adminJson("GET", "devices/" + dev.first + "/commands"), json::array());
}

TEST_F(SimulatorTest, SetConfigUrlCanBeSentAsAJsonString) {
    auto dev = enrol();
    client->admin("POST", "devices/GB-LDN-DEV001/commands",
                  R"({"name":"SetConfig","instructions":{"url":"http://x/c.cfg","quoted":true}})");
    client->checkin(dev.first, dev.second);
    EXPECT_EQ(client->device("setconfig?" + auth(dev)).body, "\"http://x/c.cfg\"");
}

TEST_F(SimulatorTest, CommandsQueuedBeforeRegistrationWaitForTheDevice) {
    const Answer q = client->admin("POST", "devices/GB-LDN-NEW1/commands", R"(["Reboot"])");
    ASSERT_EQ(q.status, 200) << q.body;
    EXPECT_EQ(q.asJson()["registered"], false);
    EXPECT_EQ(client->adminJson("GET", "devices/GB-LDN-NEW1/commands")[0]["name"], "Reboot");
    auto dev = enrol("NEW1");
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"Reboot\"");
}

TEST_F(SimulatorTest, RevokedTokenGetsInvalidTokenUntilTheNextLogin) {
    auto dev = enrol();
    ASSERT_EQ(client->admin("POST", "devices/GB-LDN-DEV001/revoke").status, 200);
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"InvalidToken\"");
    EXPECT_EQ(client->device("command?" + auth(dev)).status, 401);
    const std::string fresh = client->login(dev.first, "pw1");
    EXPECT_EQ(client->checkin(dev.first, fresh), "\"NoActivity\"");
}

TEST_F(SimulatorTest, CompletionReportsKeepTheRawAndTheDecodedMessage) {
    auto dev = enrol();
    ASSERT_EQ(client->device("commandcompleted?" + auth(dev) +
                             "&command=command&issuccess=true&errormessage=up%202%20days%2c%20load%3a%200%2e5%0a")
                  .status,
              200);
    client->device("commandcompleted?" + auth(dev) + "&command=uploadconfig&issuccess=false&errormessage=File%20Upload%20Failed");
    client->device("commandcompleted?" + auth(dev) + "&command=reboot&issuccess=true&errormessage=");
    const json r = reports(dev.first);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0]["command"], "command");
    EXPECT_EQ(r[0]["success"], true);
    EXPECT_EQ(r[0]["errormessage"], "up%202%20days%2c%20load%3a%200%2e5%0a");
    EXPECT_EQ(r[0]["message"], "up 2 days, load: 0.5\n");
    EXPECT_EQ(r[1]["success"], false);
    EXPECT_EQ(r[1]["message"], "File Upload Failed");
    EXPECT_EQ(r[2]["message"], "");
    EXPECT_EQ(client->device("commandcompleted?deviceuuid=" + dev.first +
                             "&token=bad&command=x&issuccess=true&errormessage=")
                  .status,
              401);
}

TEST_F(SimulatorTest, UploadsAreStoredPerDevice) {
    auto a = enrol("A");
    auto b = enrol("B");
    const char bytes[] = "line 1\nbinary \x01\x02\xff end\n\0zero";
    const std::string content(bytes, sizeof bytes - 1);
    ASSERT_EQ(client->upload("uploadconfig?" + auth(a), "config.txt", content).status, 200);
    ASSERT_EQ(client->upload("systemlog?" + auth(b), "messages", "log line\n").status, 200);

    const json ua = client->adminJson("GET", "devices/" + a.first + "/uploads");
    ASSERT_EQ(ua.size(), 1u);
    EXPECT_EQ(ua[0]["endpoint"], "uploadconfig");
    EXPECT_EQ(ua[0]["fileName"], "config.txt");
    EXPECT_EQ(ua[0]["part"], "file");
    EXPECT_EQ(ua[0]["contentType"], "application/octet-stream");
    EXPECT_EQ(client->admin("GET", "devices/" + a.first + "/uploads/1").body, content);
    EXPECT_EQ(client->admin("GET", "devices/GB-LDN-B/uploads/1").body, "log line\n");
    EXPECT_EQ(client->admin("GET", "devices/GB-LDN-B/uploads/2").status, 404);

    // An upload under a hostile file name stays inside the device's folder.
    ASSERT_EQ(client->upload("systemlog?" + auth(b), "../../escape", "x").status, 200);
    const std::string stored = client->adminJson("GET", "devices/GB-LDN-B/uploads")[1]["storedAs"];
    const std::string folder = dir.path() + "/uploads/" + b.first + "/";
    ASSERT_EQ(stored.find(folder), 0u) << stored;
    EXPECT_EQ(stored.find('/', folder.size()), std::string::npos) << stored;
}

TEST_F(SimulatorTest, FilesAreServedFromTheDownloadDirectoryOnly) {
    dir.write("files/pkg.tgz", "PACKAGE");
    dir.write("secret.txt", "SECRET");
    EXPECT_EQ(client->get("/files/pkg.tgz").body, "PACKAGE");
    EXPECT_EQ(client->get("/files/none.tgz").status, 404);
    for (const char* bad : {"/files/../secret.txt", "/files/%2e%2e/secret.txt", "/files//etc/passwd"}) {
        const Answer a = client->get(bad);
        EXPECT_NE(a.status, 200) << bad;
        EXPECT_EQ(a.body.find("SECRET"), std::string::npos) << bad;
    }
}

// ---- error answers -----------------------------------------------------

TEST_F(SimulatorTest, BadRequestsGetJsonErrors) {
    auto dev = enrol();
    // Valid JSON nested so deep that copying or printing it would overflow the stack.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    struct Case {
        std::string method, target, body;
        int status;
    } cases[] = {
        {"GET", "/api/devices/nosuch?deviceuuid=x", "", 404},
        {"GET", "/api/devices/checkin?deviceuuid=" + dev.first, "", 400},
        {"GET", "/api/devices/login?deviceuuid=x", "", 400},
        {"GET", "/api/devices/register?countrycode=GB", "", 400},
        {"GET", "/api/devices/uploadconfig?" + auth(dev), "", 405},
        {"POST", "/api/devices/checkin?" + auth(dev), "{}", 405},
        {"POST", "/api/devices/systemlog?" + auth(dev), "not multipart", 400},
        {"GET", "/somewhere/else", "", 404},
        {"POST", "/admin/devices", "{not json", 400},
        {"POST", "/admin/devices", R"({"countryCode":"GB"})", 400},
        {"POST", "/admin/devices/GB-LDN-DEV001/commands", R"({"instructions":{}})", 400},
        {"POST", "/admin/devices/GB-LDN-DEV001/commands", R"({"name":"SetConfig","instructions":{"url":5}})", 400},
        {"POST", "/admin/faults", R"({"endpoint":"checkin"})", 400},
        {"POST", "/admin/faults", R"({"endpoint":"checkin","status":99})", 400},
        {"POST", "/admin/faults", R"({"endpoint":"checkin","drop":"yes"})", 400},
        {"POST", "/admin/faults", R"({"endpoint":"checkin","dorp":true})", 400},
        {"PUT", "/admin/manufactured", R"({"devices":[{"countryCode":1}]})", 400},
        {"POST", "/admin/scenario", R"([1,2])", 400},
        {"POST", "/admin/devices/GB-LDN-DEV001/commands", R"({"name":"Command","instructions":{"args":)" + deep + "}}",
         400},
        {"PUT", "/admin/state", R"({"devices":)" + deep + "}", 400},
        {"POST", "/admin/faults", deep, 400},
        {"GET", "/admin/devices/nobody", "", 404},
        {"POST", "/admin/devices/nobody/revoke", "", 404},
        {"GET", "/admin/devices/GB-LDN-DEV001/uploads/x", "", 400},
        {"DELETE", "/admin/faults/77", "", 404},
        {"GET", "/admin/nothing", "", 404},
        {"DELETE", "/admin/summary", "", 405},
        {"PUT", "/admin/devices/GB-LDN-DEV001/revoke", "{}", 405},
    };
    for (const auto& c : cases) {
        httplib::Result r = c.method == "GET"      ? client->raw().Get(c.target.c_str())
                            : c.method == "DELETE" ? client->raw().Delete(c.target.c_str())
                            : c.method == "PUT"    ? client->raw().Put(c.target.c_str(), c.body, "application/json")
                                                   : client->raw().Post(c.target.c_str(), c.body, "text/plain");
        ASSERT_TRUE(r) << c.method << " " << c.target;
        EXPECT_EQ(r->status, c.status) << c.method << " " << c.target << ": " << r->body;
        const json body = json::parse(r->body, nullptr, false);
        EXPECT_TRUE(body.is_object() && body.contains("error")) << c.method << " " << c.target << ": " << r->body;
    }
    // None of it changed the device.
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"NoActivity\"");
}

std::string rawExchange(int port, const std::string& bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return "";
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    (void)!write(fd, bytes.data(), bytes.size());
    shutdown(fd, SHUT_WR);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

TEST_F(SimulatorTest, GarbageOnTheWireNeverStopsTheServer) {
    const std::string garbage[] = {
        std::string("\x00\x01\x02\xff\xfe", 5),
        "GET\r\n\r\n",
        "GET /api/devices/checkin?deviceuuid=%ZZ&token=%00%ff HTTP/1.1\r\nHost: x\r\n\r\n",
        "POST /api/devices/systemlog HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=zz\r\n"
        "Content-Length: 20\r\n\r\n--zz\r\nbroken",
        "GET /admin/devices/%ff%fe HTTP/1.1\r\n\r\n",
        "POST /admin/scenario HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n{",
        std::string(20000, 'A'),
    };
    for (const auto& g : garbage) rawExchange(sim->httpPort(), g);
    auto dev = enrol();
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"NoActivity\"");
    // Bytes that are not UTF-8 still give one valid JSON line each in the log.
    std::ifstream log(dir.file("requests.jsonl"));
    std::string line;
    int lines = 0;
    while (std::getline(log, line)) {
        ++lines;
        EXPECT_FALSE(json::parse(line, nullptr, false).is_discarded()) << line;
    }
    EXPECT_GT(lines, 3);
}

// ---- request log ---------------------------------------------------------

TEST_F(SimulatorTest, EveryRequestIsLoggedWithItsRawTargetAndParts) {
    auto dev = enrol();
    client->device("commandcompleted?" + auth(dev) + "&command=x&issuccess=true&errormessage=a%20b");
    client->upload("systemlog?" + auth(dev), "messages", "12345");
    client->get("/nowhere");

    const json all = client->adminJson("GET", "requests");
    ASSERT_GE(all.size(), 5u);
    for (const auto& e : all) EXPECT_NE(e["endpoint"].get<std::string>().rfind("admin", 0), 0u);
    const json reportReqs = client->adminJson("GET", "requests?endpoint=commandcompleted");
    ASSERT_EQ(reportReqs.size(), 1u);
    EXPECT_EQ(reportReqs[0]["target"],
              "/api/devices/commandcompleted?" + auth(dev) + "&command=x&issuccess=true&errormessage=a%20b");
    EXPECT_EQ(reportReqs[0]["method"], "GET");
    EXPECT_EQ(reportReqs[0]["device"], "GB-LDN-DEV001");
    const long seq = reportReqs[0]["seq"];
    const json later = client->adminJson("GET", "requests?since=" + std::to_string(seq));
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[0]["method"], "POST");
    EXPECT_EQ(later[0]["parts"], json::parse(R"([{"name":"file","fileName":"messages",
                                               "contentType":"application/octet-stream","size":5}])"));
    EXPECT_EQ(later[1]["status"], 404);

    // The same entries, one per line, in the log file.
    std::ifstream log(dir.file("requests.jsonl"));
    std::string line, last;
    while (std::getline(log, line)) {
        if (line.find("\"systemlog\"") != std::string::npos) last = line;
    }
    EXPECT_EQ(json::parse(last)["parts"][0]["size"], 5);
}

// ---- faults ---------------------------------------------------------------

TEST_F(SimulatorTest, FaultsReplaceTheAnswerForAsManyRequestsAsAsked) {
    auto dev = enrol();
    ASSERT_EQ(client->admin("POST", "faults", R"([
        {"endpoint":"checkin","status":503,"count":2},
        {"endpoint":"login","notJson":true,"count":1},
        {"endpoint":"command","body":"{\"key\":\"reboot\"}","count":1}])")
                  .status,
              200);
    EXPECT_EQ(client->device("checkin?" + auth(dev)).status, 503);
    EXPECT_EQ(client->device("checkin?" + auth(dev)).status, 503);
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"NoActivity\"");

    const Answer notJson = client->device("login?deviceuuid=" + dev.first + "&password=pw1&firmware=7&orbletversion=1");
    EXPECT_EQ(notJson.status, 200);
    EXPECT_TRUE(notJson.asJson().is_discarded()) << notJson.body;

    const Answer body = client->device("command?" + auth(dev));
    EXPECT_EQ(body.body, R"({"key":"reboot"})") << "a fault answers even without a pending command";
    EXPECT_EQ(client->adminJson("GET", "faults"), json::array()) << "used-up faults are gone";

    // A fault failing a request leaves the queue alone.
    client->admin("POST", "devices/GB-LDN-DEV001/commands", R"(["Reboot"])");
    client->admin("POST", "faults", R"({"endpoint":"*","status":500,"count":1})");
    EXPECT_EQ(client->device("checkin?" + auth(dev)).status, 500);
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"Reboot\"");
}

TEST_F(SimulatorTest, DroppedConnectionGivesNoAnswerAndTheServerGoesOn) {
    auto dev = enrol();
    client->admin("POST", "faults", R"({"endpoint":"checkin","drop":true,"count":1})");
    const Answer dropped = client->device("checkin?" + auth(dev));
    EXPECT_EQ(dropped.status, -1) << dropped.body;
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"NoActivity\"");
    const json logged = client->adminJson("GET", "requests?endpoint=checkin");
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0]["dropped"], true);
    EXPECT_FALSE(logged[0].contains("status"));
}

TEST_F(SimulatorTest, DelayHoldsTheAnswerBack) {
    auto dev = enrol();
    client->admin("POST", "faults", R"({"endpoint":"checkin","delayMs":400,"count":1})");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"NoActivity\"");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
}

TEST_F(SimulatorTest, FaultsCanTargetOneDeviceOrTheDownloads) {
    auto a = enrol("A");
    auto b = enrol("B");
    dir.write("files/f.bin", "F");
    const json ids = client->adminJson("POST", "faults", json::parse(R"([
        {"endpoint":"checkin","device":"GB-LDN-B","status":500},
        {"endpoint":"files","status":404,"count":1}])"))["ids"];
    EXPECT_EQ(client->checkin(a.first, a.second), "\"NoActivity\"");
    EXPECT_EQ(client->device("checkin?" + auth(b)).status, 500);
    EXPECT_EQ(client->device("checkin?" + auth(b)).status, 500) << "without a count the fault stays";
    EXPECT_EQ(client->get("/files/f.bin").status, 404);
    EXPECT_EQ(client->get("/files/f.bin").body, "F");
    ASSERT_EQ(client->admin("DELETE", "faults/" + ids[0].dump()).status, 200);
    EXPECT_EQ(client->checkin(b.first, b.second), "\"NoActivity\"");
}

// ---- scenario and saved state ---------------------------------------------

TEST_F(SimulatorTest, ScenarioPreloadsEverythingOrNothing) {
    const json bad = json::parse(R"({"devices":[{"countryCode":"GB","siteCode":"S","devId":"X1","password":"p"}],
                                    "faults":[{"endpoint":"checkin"}]})");
    EXPECT_EQ(client->admin("POST", "scenario", bad.dump()).status, 400);
    EXPECT_EQ(client->adminJson("GET", "devices"), json::array()) << "a bad scenario changes nothing";

    const std::string scenario = dir.write("scenario.json", R"({
        "manufactured": {"required": true, "devices": [{"countryCode":"GB","siteCode":"LDN","devId":"NEW"}]},
        "devices": [{"uuid":"11111111-2222-4333-8444-555555555555","countryCode":"GB","siteCode":"S",
                     "devId":"X1","password":"p"}],
        "commands": {"GB-S-X1": [{"name":"Command","instructions":{"key":"uptime"}}],
                     "GB-LDN-NEW": ["UploadConfig"]},
        "faults": [{"endpoint":"getsettingsfile","status":500}]
    })");
    restart(true);
    // the scenario now comes from the command line
    client.reset();
    sim.reset();
    start(true, scenario);
    const std::string token = client->login("11111111-2222-4333-8444-555555555555", "p");
    EXPECT_EQ(client->checkin("11111111-2222-4333-8444-555555555555", token), "\"Command\"");
    EXPECT_EQ(client->registerDevice("GB", "LDN", "OTHER", "p"), "");
    auto fresh = enrol("NEW");
    EXPECT_EQ(client->checkin(fresh.first, fresh.second), "\"UploadConfig\"");
    EXPECT_EQ(client->adminJson("GET", "faults").size(), 1u);

    // A restart on the saved state does not apply the scenario a second time.
    client.reset();
    sim.reset();
    ASSERT_NO_THROW(start(false, scenario));
    EXPECT_EQ(client->adminJson("GET", "devices").size(), 2u);
    EXPECT_EQ(client->adminJson("GET", "devices/GB-S-X1/commands"), json::array());
}

TEST_F(SimulatorTest, StateSurvivesARestart) {
    auto dev = enrol();
    client->admin("POST", "devices/GB-LDN-DEV001/commands", R"(["Reboot","UploadConfig"])");
    client->checkin(dev.first, dev.second);
    client->device("commandcompleted?" + auth(dev) + "&command=reboot&issuccess=true&errormessage=");
    client->upload("systemlog?" + auth(dev), "messages", "kept");
    client->admin("POST", "devices/GB-LDN-LATER/commands", R"(["SystemLog"])");
    client->admin("PUT", "manufactured", R"({"required":false,"devices":[{"countryCode":"A","siteCode":"B","devId":"C"}]})");
    client->admin("POST", "faults", R"({"endpoint":"checkin","status":500})");

    restart();
    EXPECT_EQ(client->checkin(dev.first, dev.second), "\"UploadConfig\"") << "token and queue are kept";
    EXPECT_EQ(reports(dev.first).size(), 1u);
    EXPECT_EQ(client->admin("GET", "devices/GB-LDN-DEV001/uploads/1").body, "kept");
    EXPECT_EQ(client->adminJson("GET", "manufactured")["devices"].size(), 1u);
    EXPECT_EQ(client->adminJson("GET", "faults"), json::array()) << "faults are not kept";
    auto later = enrol("LATER");
    EXPECT_EQ(client->checkin(later.first, later.second), "\"SystemLog\"");

    // The saved file is the same JSON the admin interface gives and takes.
    const json saved = json::parse(dir.read("state.json"));
    EXPECT_EQ(saved["devices"].size(), 2u);
    client->admin("POST", "reset");
    EXPECT_EQ(client->adminJson("GET", "devices"), json::array());
    ASSERT_EQ(client->admin("PUT", "state", saved.dump()).status, 200);
    EXPECT_EQ(client->adminJson("GET", "devices").size(), 2u);

    restart(true);
    EXPECT_EQ(client->adminJson("GET", "devices"), json::array()) << "--fresh starts empty";
}

TEST_F(SimulatorTest, CorruptStateFileStopsTheStart) {
    client.reset();
    sim.reset();
    dir.write("state.json", "{\"devices\": [");
    kivsim::Options o;
    o.httpPort = 0;
    o.httpsPort = -1;
    o.dataDir = dir.path();
    kivsim::Simulator broken(o);
    EXPECT_THROW(broken.start(), std::runtime_error);
    EXPECT_EQ(dir.read("state.json"), "{\"devices\": [") << "the file is left for the user to look at";
}

// ---- HTTPS ----------------------------------------------------------------

TEST(SimulatorHttps, GeneratedCertificateServesHttpsForLoopback) {
    TempDir dir;
    kivsim::Options o;
    o.httpPort = -1;
    o.httpsPort = 0;
    o.dataDir = dir.path();
    kivsim::Simulator sim(o);
    sim.start();
    ASSERT_GT(sim.httpsPort(), 0);
    // Verified against the generated certificate, host name checks included.
    httplib::SSLClient verified("127.0.0.1", sim.httpsPort());
    verified.set_ca_cert_path(dir.file("cert.pem").c_str());
    verified.enable_server_certificate_verification(true);
    auto r = verified.Get("/api/devices/login?deviceuuid=&password=&firmware=&orbletversion=");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->body, R"({"ResponseMessage":"UnknownDevice"})");
    // The key is readable by its owner only.
    struct stat st{};
    ASSERT_EQ(::stat(dir.file("key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
}

// ---- the program ------------------------------------------------------------

TEST(SimulatorProgram, StartsOnFreePortsAndStopsCleanlyOnSigterm) {
    TempDir dir;
    sandbox::Process sim({KIVSIM_BINARY, "--http-port", "0", "--https-port", "0", "--data-dir", dir.path(),
                          "--port-file", dir.file("ports.json")});
    ASSERT_TRUE(simtest::eventually([&] { return !dir.read("ports.json").empty(); })) << sim.outputSoFar();
    const json ports = json::parse(dir.read("ports.json"));
    SimClient http("127.0.0.1", ports["http"]);
    SimClient https("127.0.0.1", ports["https"], true);
    EXPECT_FALSE(http.registerDevice("GB", "LDN", "P1", "pw").empty());
    EXPECT_EQ(https.device("login?deviceuuid=x&password=&firmware=&orbletversion=").asJson()["ResponseMessage"],
              "UnknownDevice");

    const sandbox::RunResult r = sim.stop(SIGTERM);
    ASSERT_FALSE(r.timedOut);
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.status << r.err;
    EXPECT_NE(r.out.find("platform simulator ready"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("GB-LDN-P1  register"), std::string::npos) << r.out;
    EXPECT_EQ(json::parse(dir.read("state.json"))["devices"][0]["name"], "GB-LDN-P1");
}

TEST(SimulatorProgram, RefusesBadOptionsAndBusyPorts) {
    TempDir dir;
    EXPECT_EQ(WEXITSTATUS(sandbox::run({KIVSIM_BINARY, "--http-port", "http"}).status), 2);
    EXPECT_EQ(WEXITSTATUS(sandbox::run({KIVSIM_BINARY, "--bogus"}).status), 2);
    kivsim::Options o;
    o.httpPort = 0;
    o.httpsPort = -1;
    o.dataDir = dir.path() + "/a";
    kivsim::Simulator busy(o);
    busy.start();
    const sandbox::RunResult r = sandbox::run({KIVSIM_BINARY, "--http-port", std::to_string(busy.httpPort()),
                                               "--https-port", "off", "--data-dir", dir.path() + "/b"});
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    EXPECT_NE(r.err.find("cannot listen"), std::string::npos) << r.err;
}

}  // namespace
