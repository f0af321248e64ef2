// Configuration, log, settings and whitelisted-program commands on the
// router: the real HTTP transport against the test platform on loopback, the
// real curl for downloads, and fake router tools and service scripts that
// record how they were run. The platform's reports are written into the same
// record, so the order of reports and restarts can be seen.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "unit/base64.h"
#include "unit/lines.h"
#include "commands/command_table.h"
#include "core/exceptions.h"
#include "platform/http.h"
#include "platform/test_platform.h"
#include "sandbox/sandbox.h"
#include "unit/recorded_seams.h"

namespace {

using sandbox::exists;
using sandbox::readFile;
using testplatform::Reply;
using testplatform::Request;

const std::string CALLS = "/var/log/kiv-config-calls";  // fake tools, scripts and reports, in order
const std::string WORK = "/var/kivconfig";              // copies the fakes keep of what they were given
const std::string NULL_GUID = "00000000-0000-0000-0000-000000000000";
const std::string MODULE_GUID = "3f2a9c40-7d1e-4b8a-a5c2-0e9d8f7b6a51";

std::vector<std::string> calls() { return exists(CALLS) ? lines(readFile(CALLS)) : std::vector<std::string>{}; }

std::string report(const std::string& word, bool success, const std::string& message) {
    return "deviceuuid=U-1&token=T-1&command=" + word + "&issuccess=" + (success ? "true" : "false") +
           "&errormessage=" + message;
}

class ConfigCommandsE2E : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_REQUIRE_SANDBOX();
        sandbox::resetRouter();
        sandbox::removeAll(CALLS);
        sandbox::removeAll(WORK);
        sandbox::makeDirs(WORK);
        aggregator.uuid = "U-1";
        aggregator.token = "T-1";
        aggregator.suScriptDir = "/etc/scripts/";
        platform.on("commandcompleted", [](const Request&) {
            std::ofstream(CALLS, std::ios::app) << "report\n";
            return Reply{200, "\"ok\""};
        });
        http = std::make_unique<HTTP>("127.0.0.1", std::to_string(platform.port()), "http");
        http->init();
    }

    void run(Response* (*declare)(Aggregator*, Client*)) {
        std::unique_ptr<Response>(declare(&aggregator, http.get()))->execute();
    }

    std::vector<std::string> reports() const {
        std::vector<std::string> out;
        for (const auto& r : platform.requests("commandcompleted")) out.push_back(r.query);
        return out;
    }

    std::string platformUrl(const std::string& endpointAndQuery) const {
        return "http://127.0.0.1:" + std::to_string(platform.port()) + "/api/devices/" + endpointAndQuery;
    }

    testplatform::TestPlatform platform;
    Aggregator aggregator;
    std::unique_ptr<HTTP> http;
};

// ---- SetConfig ---------------------------------------------------------

// The restore tool keeps a copy of the file it was given and prints `output`.
void installRestore(const std::string& output, int exitCode) {
    sandbox::installFakeTool("/usr/sbin/restore", CALLS,
                             "cp \"$1\" " + WORK + "/restored\nprintf '" + output + "'\nexit " +
                                 std::to_string(exitCode));
}

TEST_F(ConfigCommandsE2E, SetConfigDownloadsTheUrlWithCurlAndRestoresIt) {
    const std::string config = "MOD_LAN_IP=10.0.0.1\nMOD_LAN_MASK=255.255.255.0\n";
    platform.on("cfgsrc", [config](const Request&) { return Reply{200, config, "text/plain"}; });
    const std::string port = std::to_string(platform.port());
    const struct {
        const char* label;
        std::string body;
        std::string query;  // what the file server must see
    } cases[] = {
        {"bare URL", platformUrl("cfgsrc?v=1"), "v=1"},
        {"JSON string with & in its query", "\"" + platformUrl("cfgsrc?a=1&b=x%20y") + "\"", "a=1&b=x%20y"},
        {"JSON string with escapes", "\"http:\\/\\/127.0.0.1:" + port + "\\/api\\/devices\\/cfgsrc?a=1\\u0026b=2\"",
         "a=1&b=2"},
        // A body ended by a line end, as many servers send text.
        {"bare URL and a newline", platformUrl("cfgsrc?v=2") + "\n", "v=2"},
        {"JSON string between blanks and CRLF", " \"" + platformUrl("cfgsrc?v=3") + "\"\r\n", "v=3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sandbox::removeAll(CALLS);
        installRestore("Restored 2 keys.\\n", 0);
        const size_t before = platform.requests("cfgsrc").size();
        platform.answer("setconfig", {{200, c.body}});
        run(declareSetConfig);

        const auto fetched = platform.requests("cfgsrc");
        ASSERT_EQ(fetched.size(), before + 1);
        EXPECT_EQ(fetched.back().query, c.query);
        EXPECT_EQ(platform.requests("setconfig").back().query, "deviceuuid=U-1&token=T-1");
        EXPECT_EQ(calls(), (std::vector<std::string>{"/usr/sbin/restore /tmp/set_config.txt", "report"}));
        EXPECT_EQ(readFile(WORK + "/restored"), config);
        EXPECT_EQ(readFile("/tmp/set_config.txt"), config);  // left for the next run to overwrite
        EXPECT_EQ(reports().back(), report("setconfig", true, "Restored%202%20keys%2e%0a"));
    }
}

TEST_F(ConfigCommandsE2E, SetConfigReportsTheRestoreToolsStatusAndOutput) {
    platform.serveFile("c.cfg", "MOD_X=1\n");
    const struct {
        std::string output;
        int exitCode;
        bool success;
        std::string message;
    } cases[] = {
        {"", 0, true, ""},
        {"line 4: bad key\\n", 2, false, "line%204%3a%20bad%20key%0a"},
    };
    for (const auto& c : cases) {
        installRestore(c.output, c.exitCode);
        platform.answer("setconfig", {{200, platform.fileUrl("c.cfg")}});
        run(declareSetConfig);
        EXPECT_EQ(reports().back(), report("setconfig", c.success, c.message)) << c.exitCode;
    }
}

// A download that fails is reported with the body as it came, quotes
// included; whatever the body holds reaches curl as one word and never runs.
TEST_F(ConfigCommandsE2E, SetConfigReportsAFailedDownloadWithTheBodyAsReceived) {
    installRestore("", 0);
    const struct {
        std::string body;
        std::string message;
    } cases[] = {
        {"\"http://127.0.0.1:1/c.cfg\"",
         "Could%20not%20download%20file%20from%20%22http%3a%2f%2f127%2e0%2e0%2e1%3a1%2fc%2ecfg%22"},
        {"http://127.0.0.1:1/a;touch /tmp/pwned",
         "Could%20not%20download%20file%20from%20http%3a%2f%2f127%2e0%2e0%2e1%3a1%2fa%3btouch%20%2ftmp%2fpwned"},
        {"\"http://127.0.0.1:1/$(touch /tmp/pwned)'`touch /tmp/pwned`'\"",
         "Could%20not%20download%20file%20from%20%22http%3a%2f%2f127%2e0%2e0%2e1%3a1%2f%24(touch%20%2ftmp%2fpwned)'%"
         "60touch%20%2ftmp%2fpwned%60'%22"},
    };
    for (const auto& c : cases) {
        sandbox::removeAll(CALLS);
        platform.answer("setconfig", {{200, c.body}});
        run(declareSetConfig);
        EXPECT_EQ(reports().back(), report("setconfig", false, c.message)) << c.body;
        EXPECT_EQ(calls(), std::vector<std::string>{"report"}) << "restore must not run";
        EXPECT_FALSE(exists("/tmp/pwned")) << c.body;
    }
}

// ---- UploadConfig and UploadSystemLog -----------------------------------

TEST_F(ConfigCommandsE2E, UploadConfigSendsOnlyTheNewBackupAndRemovesIt) {
    const std::string backup = "MOD_LAN_IP=10.0.0.1\nMOD_WIFI_SSID=\"site 7\"\n";
    sandbox::installFakeTool("/usr/bin/backup", CALLS, "printf '%s' '" + backup + "'");
    // Left behind by an earlier upload that failed in the transport.
    sandbox::writeFile("/tmp/config.txt", "OLD BACKUP THAT WAS NEVER SENT\n");
    platform.on("uploadconfig", [](const Request&) {
        std::ofstream(CALLS, std::ios::app) << "upload" << (exists("/tmp/config.txt") ? "" : " without file") << "\n";
        return Reply{200, "\"ok\""};
    });
    run(declareUploadConfig);

    const auto uploads = platform.requests("uploadconfig");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].method, "POST");
    EXPECT_EQ(uploads[0].query, "deviceuuid=U-1&token=T-1");
    EXPECT_EQ(uploads[0].uploadName, "file");
    EXPECT_EQ(uploads[0].uploadFileName, "config.txt");
    EXPECT_EQ(uploads[0].uploadContentType, "application/octet-stream");
    EXPECT_EQ(uploads[0].uploadContent, backup);
    EXPECT_EQ(calls(), (std::vector<std::string>{"/usr/bin/backup", "upload", "report"}));
    EXPECT_FALSE(exists("/tmp/config.txt"));
    EXPECT_EQ(reports(), std::vector<std::string>{report("uploadconfig", true, "")});
}

TEST_F(ConfigCommandsE2E, UploadSystemLogSendsTheLogAsIs) {
    std::string log = "Jan  1 00:00:01 router kernel: up\r\n";
    for (int b = 0; b < 256; ++b) log += static_cast<char>(b);
    sandbox::writeFile("/var/log/messages", log);
    platform.answer("systemlog", {{200, "\"ok\""}});
    run(declareUploadSystemLog);

    const auto uploads = platform.requests("systemlog");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].target, "/api/devices/systemlog?deviceuuid=U-1&token=T-1");
    EXPECT_EQ(uploads[0].uploadName, "file");
    EXPECT_EQ(uploads[0].uploadFileName, "messages");
    EXPECT_EQ(uploads[0].uploadContent, log);
    EXPECT_EQ(reports(), std::vector<std::string>{report("systemlog", true, "")});
}

TEST_F(ConfigCommandsE2E, UploadSystemLogWithoutALogFailsInTheTransportWithoutAReport) {
    platform.answer("systemlog", {{200, "\"ok\""}});
    EXPECT_THROW(run(declareUploadSystemLog), MyExceptionTCP);
    EXPECT_TRUE(reports().empty());
}

// ---- DownloadSettings ---------------------------------------------------

class DownloadSettingsE2E : public ConfigCommandsE2E {
protected:
    void SetUp() override {
        ConfigCommandsE2E::SetUp();
        if (IsSkipped()) return;
        // restore is found through the search path; it keeps what it got.
        sandbox::installFakeTool("/usr/sbin/restore", CALLS, "cp \"$1\" " + WORK + "/restored");
        for (const char* script : {"backrt", "eth", "pppoe", "tar.wifi", "routerconf"}) {
            sandbox::installFakeTool(std::string("/etc/scripts/") + script, CALLS);
        }
        sandbox::installFakeTool("/opt/myapp/etc/init", CALLS);
    }

    void deliver(const std::string& guid, const std::string& name, const std::string& content) {
        platform.answer("getsettingsfile", {{200, "{\"InstallationName\":\"site 7\",\"InstallationGUID\":\"" + guid +
                                                      "\",\"SettingsFileName\":\"" + name + "\",\"SettingsFile\":\"" +
                                                      base64(content) + "\"}"}});
        run(declareDownloadSettings);
    }
};

TEST_F(DownloadSettingsE2E, RouterSettingsRestartTheServiceOfTheirExtensionAfterTheReport) {
    const struct {
        std::string name;
        std::vector<std::string> afterRestore;
        std::vector<unsigned> sleeps;
    } cases[] = {
        {"lan.eth", {"report", "/etc/scripts/backrt restart", "/etc/scripts/eth restart"}, {2}},
        {"config.tar.wifi", {"report", "/etc/scripts/tar.wifi restart"}, {}},
        {"pppoe", {"report", "/etc/scripts/backrt restart", "/etc/scripts/pppoe restart"}, {2}},
        {"routerconf", {"report", "/etc/scripts/routerconf restart"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sandbox::removeAll(CALLS);
        RecordedSeams seams;
        deliver(NULL_GUID, c.name, "MOD_X=" + c.name + "\n");

        std::vector<std::string> expected{"/usr/sbin/restore /tmp/settings/" + c.name};
        expected.insert(expected.end(), c.afterRestore.begin(), c.afterRestore.end());
        EXPECT_EQ(calls(), expected);
        EXPECT_EQ(readFile(WORK + "/restored"), "MOD_X=" + c.name + "\n");
        EXPECT_EQ(seams.sleeps, c.sleeps);
        const std::string extension = c.name.substr(c.name.find('.') == std::string::npos ? 0 : c.name.find('.') + 1);
        ASSERT_FALSE(seams.syslogLines.empty());
        EXPECT_EQ(seams.syslogLines.back().second, "restart service: " + extension);
        EXPECT_EQ(reports().back(), report("downloadsettings", true, ""));
        EXPECT_FALSE(exists("/tmp/settings"));
    }
}

TEST_F(DownloadSettingsE2E, ModuleSettingsRestartTheModuleBeforeTheReport) {
    RecordedSeams seams;
    deliver(MODULE_GUID, "myapp", "MOD_MYAPP_LEVEL=3\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{"/usr/sbin/restore /tmp/settings/myapp", "/opt/myapp/etc/init restart",
                                                 "report"}));
    EXPECT_EQ(readFile(WORK + "/restored"), "MOD_MYAPP_LEVEL=3\n");
    EXPECT_EQ(platform.requests("getsettingsfile").at(0).query, "deviceuuid=U-1&token=T-1");
    EXPECT_EQ(reports(), std::vector<std::string>{report("downloadsettings", true, "")});
    EXPECT_FALSE(exists("/tmp/settings"));
}

TEST_F(DownloadSettingsE2E, BinaryContentReachesTheRestoreToolByteForByte) {
    RecordedSeams seams;
    std::string bytes;
    for (int round = 0; round < 4; ++round) {
        for (int b = 255; b >= 0; --b) bytes += static_cast<char>(b);
    }
    deliver(MODULE_GUID, "myapp", bytes);
    EXPECT_EQ(readFile(WORK + "/restored"), bytes);
}

// A member missing or empty, or a file name that would leave the working
// directory or reach the shell as code: one failed report and nothing else.
TEST_F(DownloadSettingsE2E, RejectsIncompleteAnswersAndUnsafeNames) {
    const std::string payload = base64("MOD_X=1\n");
    auto answer = [&](const std::string& name, const std::string& file) {
        return "{\"InstallationName\":\"site 7\",\"InstallationGUID\":\"" + NULL_GUID + "\",\"SettingsFileName\":\"" +
               name + "\",\"SettingsFile\":\"" + file + "\"}";
    };
    const std::string answers[] = {
        answer("lan.eth", ""),
        answer("", payload),
        "{\"InstallationGUID\":\"" + NULL_GUID + "\",\"SettingsFileName\":\"lan.eth\",\"SettingsFile\":\"" + payload +
            "\"}",
        "{\"InstallationName\":\"site 7\",\"InstallationGUID\":\"\",\"SettingsFileName\":\"lan.eth\","
        "\"SettingsFile\":\"" +
            payload + "\"}",
        answer("x;touch /tmp/pwned", payload),
        answer("lan.eth;touch /tmp/pwned", payload),
        answer("$(touch /tmp/pwned).eth", payload),
        answer("../../etc/passwd", payload),
        answer("..", payload),
        answer(".", payload),
        answer("a b.eth", payload),
    };
    const std::string passwd = readFile("/etc/passwd");
    for (const auto& a : answers) {
        SCOPED_TRACE(a);
        sandbox::removeAll(CALLS);
        const size_t before = reports().size();
        RecordedSeams seams;
        platform.answer("getsettingsfile", {{200, a}});
        run(declareDownloadSettings);
        EXPECT_EQ(reports().size(), before + 1);
        EXPECT_EQ(reports().back(), report("downloadsettings", false, "Invalid%20Message"));
        EXPECT_EQ(calls(), std::vector<std::string>{"report"});
        EXPECT_TRUE(seams.events.empty());
        EXPECT_FALSE(exists("/tmp/settings"));
        EXPECT_FALSE(exists("/tmp/pwned"));
        EXPECT_EQ(readFile("/etc/passwd"), passwd);
    }
}

TEST_F(DownloadSettingsE2E, AnAnswerThatIsNotJsonEndsTheCommandWithoutAReport) {
    platform.answer("getsettingsfile", {{200, "<html>maintenance</html>"}});
    EXPECT_THROW(run(declareDownloadSettings), MyException);
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(calls().empty());
}

// ---- Command ------------------------------------------------------------

class CommandE2E : public ConfigCommandsE2E {
protected:
    void SetUp() override {
        ConfigCommandsE2E::SetUp();
        if (IsSkipped()) return;
        sandbox::writeFile("/usr/local/bin/fakeuptime", "#!/bin/sh\nprintf ' 10:00:01 up 3 days. load 0.15\\n'\n", 0755);
        sandbox::writeFile("/usr/local/bin/showargs", "#!/bin/sh\necho \"$#\"\nfor a in \"$@\"; do echo \"[$a]\"; done\n",
                           0755);
        sandbox::writeFile("/usr/local/bin/complain", "#!/bin/sh\necho 'out'\necho 'err' >&2\nexit 2\n", 0755);
        sandbox::writeFile(WHITELIST,
                           "MOD_KIVCLIENT_UPTIME=/usr/local/bin/fakeuptime\n"
                           "MOD_KIVCLIENT_SHOWARGS=\"/usr/local/bin/showargs\"\n"
                           "MOD_KIVCLIENT_COMPLAIN=complain\n"
                           "MOD_KIVCLIENT_GONE=/usr/local/bin/not-there\n");
    }

    std::string runCommand(const std::string& answer) {
        platform.answer("command", {{200, answer}});
        run(declareCommand);
        return reports().back();
    }

    const std::string WHITELIST = "/opt/kivclient/etc/whitelist";
};

TEST_F(CommandE2E, RunsWhitelistedProgramsWithoutAShellAndReportsTheirOutput) {
    const struct {
        std::string answer;
        bool success;
        std::string message;
    } cases[] = {
        {R"J({"key":"uptime","args":[]})J", true, "%2010%3a00%3a01%20up%203%20days%2e%20load%200%2e15%0a"},
        // Quoted whitelist value; no "args" at all.
        {R"J({"key":"showargs"})J", true, "0%0a"},
        // Blanks and shell characters stay inside their argument; numbers come as their digits.
        {R"J({"key":"showargs","args":["a b","$(touch /tmp/pwned)",";","*",5]})J", true,
         "5%0a%5ba%20b%5d%0a%5b%24(touch%20%2ftmp%2fpwned)%5d%0a%5b%3b%5d%0a%5b*%5d%0a%5b5%5d%0a"},
        // Found through PATH; standard error is part of the output.
        {R"J({"key":"complain","args":[]})J", false, "out%0aerr%0a"},
        {R"J({"key":"gone","args":["x"]})J", false, "execvp%3a%20No%20such%20file%20or%20directory%0a"},
        {R"J({"key":"Uptime","args":[]})J", false, "Command%20not%20in%20whitelist"},
        {R"J({"key":"","args":[]})J", false, "Command%20not%20in%20whitelist"},
        {R"J({"args":[]})J", false, "Command%20not%20in%20whitelist"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runCommand(c.answer), report("command", c.success, c.message)) << c.answer;
    }
    EXPECT_FALSE(exists("/tmp/pwned"));
    for (const auto& r : platform.requests("command")) EXPECT_EQ(r.query, "deviceuuid=U-1&token=T-1");
}

TEST_F(CommandE2E, WithoutAWhitelistNothingRuns) {
    sandbox::removeAll(WHITELIST);
    EXPECT_EQ(runCommand(R"J({"key":"uptime","args":[]})J"),
              report("command", false, "white%20list%20file%20not%20found%2c%20ignoring%20command"));
    EXPECT_EQ(platform.requests("command").size(), 1u);
}

}  // namespace
