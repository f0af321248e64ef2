// What the package commands do before they touch the router: the checks of
// the platform's answer, and the meaning of the firmware tool's end. Answers
// that pass the checks are exercised in the router sandbox (*_e2e.cpp).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cctype>
#include <memory>

#include "commands/command_table.h"
#include "commands/install_new_app.h"
#include "core/exceptions.h"
#include "unit/fake_client.h"

namespace {

struct Case {
    const char* label;
    Response* (*declare)(Aggregator*, Client*);
    std::string endpoint;
    std::string word;
    std::string answer;
};

const std::string MODULE_GUID = "\"InstallationGUID\":\"8d5c0b1e-0f51-4a3e-9d43-4c5e1f0b7a10\"";
const std::string FIRMWARE_GUID = "\"InstallationGUID\":\"00000000-0000-0000-0000-000000000000\"";
const std::string PACKAGE = "\"InstallationPackage\":\"http://127.0.0.1:1/p.tgz\"";

std::string module(const std::string& name, const std::string& app, const std::string& type) {
    return "{\"InstallationName\":\"" + name + "\"," + MODULE_GUID + "," + PACKAGE + ",\"AppName\":\"" + app +
           "\",\"AppType\":\"" + type + "\"}";
}
std::string firmware(const std::string& version) {
    return "{\"InstallationName\":\"fw\"," + FIRMWARE_GUID + "," + PACKAGE +
           ",\"AppName\":\"Firmware 7.2\",\"AppVersion\":\"" + version + "\"}";
}
std::string orblet(const std::string& app, const std::string& type) {
    return "{\"InstallationName\":\"agent\"," + MODULE_GUID + "," + PACKAGE + ",\"AppName\":\"" + app +
           "\",\"AppType\":\"" + type + "\"}";
}
std::string removal(const std::string& app) { return "{\"AppName\":\"" + app + "\"," + MODULE_GUID + "}"; }

const Case kInstall{"", declareInstallNewApp, "getnewapppackage", "installnewapp", ""};
const Case kUninstall{"", declareUninstallApp, "getuninstallapp", "uninstallapp", ""};
const Case kUpdate{"", declareUpdateOrblet, "getorbletpackage", "updateorblet", ""};

Case with(const Case& base, const char* label, const std::string& answer) {
    Case c = base;
    c.label = label;
    c.answer = answer;
    return c;
}

class Rejected : public ::testing::TestWithParam<Case> {};

// A missing member or a name that could leave its directory or reach the
// shell as code: one failed report, and nothing else (no download request,
// no second platform call).
TEST_P(Rejected, ReportsInvalidMessageAndStops) {
    const Case& c = GetParam();
    Aggregator aggregator;
    aggregator.uuid = "U-1";
    aggregator.token = "T-1";
    FakeClient client;
    client.reply(c.answer);
    client.reply("\"ok\"");
    std::unique_ptr<Response> command(c.declare(&aggregator, &client));
    command->execute();
    ASSERT_EQ(client.requests.size(), 2u) << c.label;
    EXPECT_EQ(client.requests[0], c.endpoint + "?deviceuuid=U-1&token=T-1");
    EXPECT_EQ(client.requests[1], "commandcompleted?deviceuuid=U-1&token=T-1&command=" + c.word +
                                      "&issuccess=false&errormessage=Invalid%20Message");
}

INSTANTIATE_TEST_SUITE_P(
    PackageCommands, Rejected,
    ::testing::Values(
        with(kInstall, "empty object", "{}"),
        with(kInstall, "no package URL",
             "{\"InstallationName\":\"i\"," + MODULE_GUID + ",\"AppName\":\"a\",\"AppType\":\"tgz\"}"),
        with(kInstall, "AppName not a string",
             "{\"InstallationName\":\"i\"," + MODULE_GUID + "," + PACKAGE + ",\"AppName\":5}"),
        with(kInstall, "empty GUID", "{\"InstallationName\":\"i\",\"InstallationGUID\":\"\"," + PACKAGE +
                                         ",\"AppName\":\"a\"}"),
        with(kInstall, "installation climbs", module("..", "pkg", "tgz")),
        with(kInstall, "installation with a slash", module("../../etc", "pkg", "tgz")),
        with(kInstall, "installation with a blank", module("my inst", "pkg", "tgz")),
        with(kInstall, "app name runs a command", module("inst", "p;touch /tmp/pwned", "tgz")),
        with(kInstall, "app name is a dot", module("inst", ".", "tgz")),
        with(kInstall, "app type runs a command", module("inst", "pkg", "tgz$(reboot)")),
        with(kInstall, "app type with a slash", module("inst", "pkg", "/../../x")),
        with(kInstall, "firmware version climbs", firmware("../../etc/passwd")),
        with(kInstall, "firmware version runs a command", firmware("1;reboot")),
        with(kUninstall, "empty object", "{}"),
        with(kUninstall, "no GUID", "{\"AppName\":\"inst\"}"),
        with(kUninstall, "installation climbs", removal("../../")),
        with(kUninstall, "installation is ..", removal("..")),
        with(kUninstall, "installation runs a command", removal("x;rm -rf /")),
        with(kUpdate, "no InstallationName",
             "{" + MODULE_GUID + "," + PACKAGE + ",\"AppName\":\"kivclient\",\"AppType\":\"tgz\"}"),
        with(kUpdate, "empty GUID",
             "{\"InstallationName\":\"agent\",\"InstallationGUID\":\"\"," + PACKAGE +
                 ",\"AppName\":\"kivclient\",\"AppType\":\"tgz\"}"),
        with(kUpdate, "app name climbs", orblet("..", "tgz")),
        with(kUpdate, "app type with a blank", orblet("kivclient", "t gz"))),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = info.param.word + "_" + info.param.label;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

// An answer that is not JSON leaves the command as the agent's exception,
// before any report.
TEST(PackageCommands, AnswerThatIsNotJsonRaisesWithoutReport) {
    for (const Case& c : {kInstall, kUninstall, kUpdate}) {
        Aggregator aggregator;
        FakeClient client;
        client.reply("<html>busy</html>");
        std::unique_ptr<Response> command(c.declare(&aggregator, &client));
        EXPECT_THROW(command->execute(), MyException) << c.word;
        EXPECT_EQ(client.requests.size(), 1u) << c.word;
    }
}

TEST(FirmwareVerdict, FollowsTheToolsExitCode) {
    const struct {
        int status;
        bool success;
        const char* message;
    } cases[] = {
        {0, true, "Success"},
        {1 << 8, false, "Operation%20Aborted"},
        {2 << 8, false, "Internal%20Error"},
        {3 << 8, false, "Image%20file%20not%20found"},
        {4 << 8, false, "Invalid%20image%20file"},
        {7 << 8, false, "Unknown%20error"},
        {127 << 8, false, "Unknown%20error"},  // the shell did not find the tool
        {-1, false, "Unknown%20error"},         // could not be waited for
        // Killed by a signal: the exit-code bits are zero, yet it failed.
        {SIGKILL, false, "Unknown%20error"},
        {SIGSEGV | 0x80, false, "Unknown%20error"},
    };
    for (const auto& c : cases) {
        const FirmwareVerdict v = firmwareVerdict(c.status);
        EXPECT_EQ(v.success, c.success) << c.status;
        EXPECT_EQ(v.message, c.message) << c.status;
    }
}

}  // namespace
