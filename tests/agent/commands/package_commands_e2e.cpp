// The package commands on the router: real curl, tar, cp, chmod and ln,
// fake router tools and module scripts that record their arguments, the
// package served over loopback. The commands run in this process with a
// scripted transport, so that the order of reports, sync and reboot can be
// seen; one test runs the installed agent through a whole check-in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "unit/lines.h"
#include "commands/add_module.h"
#include "commands/command_table.h"
#include "core/exceptions.h"
#include "platform/test_platform.h"
#include "sandbox/sandbox.h"
#include "unit/fake_client.h"
#include "unit/recorded_seams.h"

namespace {

using sandbox::exists;
using sandbox::readFile;

const std::string CALLS = "/var/log/kiv-calls";  // what fake tools and scripts were run with
const std::string DEBUG_OUTPUT = "/tmp/kivc/kivc_debug_output";
const std::string WORK = "/var/kivtest";  // package sources, outside every staging place
const std::string MODULE_GUID = "8d5c0b1e-0f51-4a3e-9d43-4c5e1f0b7a10";
const std::string NULL_GUID = "00000000-0000-0000-0000-000000000000";

// A scripted transport that tells the test about every request before it
// is answered.
class ScriptedClient : public FakeClient {
public:
    std::function<void(const std::string&)> beforeAnswer;
    std::string getRequest(const std::string& path) override {
        if (beforeAnswer) beforeAnswer(path);
        return FakeClient::getRequest(path);
    }
};

std::vector<std::string> calls() { return exists(CALLS) ? lines(readFile(CALLS)) : std::vector<std::string>{}; }

std::vector<std::string> callsStartingWith(const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& c : calls()) {
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    }
    return out;
}

// The shell command lines the agent ran, from its debug log.
std::vector<std::string> shellCommands() {
    std::vector<std::string> out;
    if (!exists(DEBUG_OUTPUT)) return out;
    const std::string head = "SYS command is : ";
    const std::string tail = " Return code is : ";
    for (const auto& line : lines(readFile(DEBUG_OUTPUT))) {
        const auto at = line.find(head);
        if (at == std::string::npos) continue;
        const auto start = at + head.size();
        out.push_back(line.substr(start, line.rfind(tail) - start));
    }
    return out;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

std::string linkTarget(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> out;
    if (const auto entries = listDirectory(dir)) {
        for (const auto& e : *entries) {
            if (e.name != "." && e.name != "..") out.push_back(e.name);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A module as its package brings it: scripts that record their calls (the
// install script also records the settings file it finds), settings, web
// pages and a private data file.
void writeModule(const std::string& root, const std::string& name, const std::string& settings) {
    const std::string dir = root + "/" + name;
    sandbox::installFakeTool(dir + "/etc/init", CALLS);
    sandbox::installFakeTool(dir + "/etc/install", CALLS, "cat /opt/" + name + "/etc/settings >> " + CALLS);
    sandbox::installFakeTool(dir + "/etc/uninstall", CALLS);
    sandbox::writeFile(dir + "/etc/settings", settings);
    sandbox::writeFile(dir + "/www/index.html", "<p>" + name + "</p>");
    sandbox::writeFile(dir + "/data/key", "secret", 0600);
}

// A gzip-compressed tar archive of the tree under `root`.
std::string pack(const std::string& root) {
    const std::string archive = WORK + "/package.tgz";
    const auto r = sandbox::run({"/usr/bin/tar", "-czf", archive, "-C", root, "."});
    if (r.status != 0) throw std::runtime_error("tar: " + r.err);
    return readFile(archive);
}

std::string moduleAnswer(const std::string& installation, const std::string& url) {
    return "{\"InstallationName\":\"" + installation + "\",\"InstallationGUID\":\"" + MODULE_GUID +
           "\",\"InstallationPackage\":\"" + url + "\",\"AppName\":\"bundle\",\"AppType\":\"tgz\"}";
}

std::string report(const std::string& word, bool success, const std::string& message) {
    return "commandcompleted?deviceuuid=U-1&token=T-1&command=" + word + "&issuccess=" + (success ? "true" : "false") +
           "&errormessage=" + message;
}

class PackageCommandsE2E : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_REQUIRE_SANDBOX();
        sandbox::resetRouter();
        sandbox::removeAll("/var/www");
        sandbox::makeDirs("/var/www");
        sandbox::removeAll(WORK);
        sandbox::makeDirs(WORK);
        sandbox::removeAll(CALLS);
        // The debug log shows every shell command line the agent runs.
        sandbox::writeFile("/tmp/kivc/debugkivc", "");
        aggregator.uuid = "U-1";
        aggregator.token = "T-1";
    }

    void run(Response* (*declare)(Aggregator*, Client*)) {
        std::unique_ptr<Response> command(declare(&aggregator, &client));
        command->execute();
    }

    // Installs the modules written below `root` as installation `installation`.
    void installPackage(const std::string& root, const std::string& installation) {
        platform.serveFile("bundle.tgz", pack(root));
        client.reply(moduleAnswer(installation, platform.fileUrl("bundle.tgz")));
        client.reply("\"ok\"");
        run(declareInstallNewApp);
        ASSERT_EQ(client.requests.back(), report("installnewapp", true, ""));
    }

    Aggregator aggregator;
    ScriptedClient client;
    testplatform::TestPlatform platform;
};

TEST_F(PackageCommandsE2E, DeploysEveryModuleOfThePackageAndNothingElse) {
    const std::string src = WORK + "/src";
    writeModule(src, "Alpha", "a=1\n");
    writeModule(src, "Beta_2", "b=1\n");
    writeModule(src, "my-app", "x=1\n");
    writeModule(src, std::string(25, 'L'), "x=1\n");
    sandbox::writeFile(src + "/notes.txt", "not a module");

    installPackage(src, "site_7");

    ASSERT_EQ(client.requests.size(), 2u);
    EXPECT_EQ(client.requests[0], "getnewapppackage?deviceuuid=U-1&token=T-1");
    for (const std::string name : {"Alpha", "Beta_2"}) {
        SCOPED_TRACE(name);
        const std::string dir = "/opt/" + name;
        EXPECT_EQ(readFile(dir + "/etc/settings"), name == "Alpha" ? "a=1\n" : "b=1\n");
        EXPECT_EQ(modeOf(dir), 0755u);
        EXPECT_EQ(modeOf(dir + "/data/key"), 0755u);  // chmod -R 755 over the whole tree
        EXPECT_EQ(modeOf(dir + "/www/index.html"), 0755u);
        EXPECT_EQ(linkTarget("/var/www/" + name), dir + "/www");
        EXPECT_EQ(readFile("/var/www/" + name + "/index.html"), "<p>" + name + "</p>");
        // First installation: no stop; install sees the package's settings.
        EXPECT_EQ(callsStartingWith(dir + "/"),
                  (std::vector<std::string>{dir + "/etc/install", dir + "/etc/init defaults", dir + "/etc/init start"}));
    }
    EXPECT_EQ(entriesOf("/opt/kivclient/applications/site_7/optdirs"), (std::vector<std::string>{"Alpha", "Beta_2"}));
    EXPECT_TRUE(entriesOf("/opt/kivclient/applications/site_7/optdirs/Alpha").empty());
    EXPECT_EQ(entriesOf("/opt"), (std::vector<std::string>{"Alpha", "Beta_2", "kivclient"}));
    EXPECT_EQ(entriesOf("/var/www"), (std::vector<std::string>{"Alpha", "Beta_2"}));
    EXPECT_FALSE(exists("/tmp/module"));

    // The command lines, as the router's tools receive them.
    const auto commands = shellCommands();
    const std::vector<std::string> alpha = {
        "cp -rdf /tmp/module/Alpha /opt/",       "chmod -R 755 /opt/Alpha", "rm -rf /var/www/Alpha",
        "ln -s /opt/Alpha/www /var/www/Alpha",   "/opt/Alpha/etc/install",  "/opt/Alpha/etc/init defaults",
        "mkdir -p /opt/kivclient/applications/site_7/optdirs/Alpha/",
    };
    auto at = std::find(commands.begin(), commands.end(), alpha.front());
    ASSERT_NE(at, commands.end());
    for (const auto& expected : alpha) {
        at = std::find(at, commands.end(), expected);
        EXPECT_NE(at, commands.end()) << "missing or out of order: " << expected;
    }
    EXPECT_EQ(commands.front(), "rm -rf /tmp/module/");
    EXPECT_TRUE(contains(commands, "tar -xzf /tmp/module/bundle.tgz -C /tmp/module/"));
    EXPECT_EQ(commands.back(), "rm -rf /tmp/module/");
}

TEST_F(PackageCommandsE2E, UpdateKeepsTheInstalledSettings) {
    const std::string v1 = WORK + "/v1";
    writeModule(v1, "Alpha", "package=1\n");
    installPackage(v1, "site_7");
    sandbox::writeFile("/opt/Alpha/etc/settings", "operator=changed\n");
    sandbox::removeAll(CALLS);

    const std::string v2 = WORK + "/v2";
    writeModule(v2, "Alpha", "package=2\n");
    sandbox::writeFile(v2 + "/Alpha/www/v2.html", "new");
    installPackage(v2, "site_7");

    EXPECT_EQ(readFile("/opt/Alpha/etc/settings"), "operator=changed\n");
    EXPECT_TRUE(exists("/opt/Alpha/www/v2.html"));
    EXPECT_FALSE(exists("/tmp//settings.Alpha"));
    // Stopped first; install and defaults run on the new package's settings,
    // which the kept ones then replace before the start.
    EXPECT_EQ(calls(), (std::vector<std::string>{"/opt/Alpha/etc/init stop", "/opt/Alpha/etc/install", "package=2",
                                                 "/opt/Alpha/etc/init defaults", "/opt/Alpha/etc/init start"}));
    const auto commands = shellCommands();
    EXPECT_TRUE(contains(commands, "cp /opt/Alpha/etc/settings /tmp//settings.Alpha"));
    EXPECT_TRUE(contains(commands, "cp /tmp//settings.Alpha /opt/Alpha/etc/settings"));
    EXPECT_TRUE(contains(commands, "rm /tmp//settings.Alpha"));
}

TEST_F(PackageCommandsE2E, FailedDownloadIsReportedAndNothingDeployed) {
    client.reply(moduleAnswer("site_7", "http://127.0.0.1:1/bundle.tgz"));
    client.reply("\"ok\"");
    run(declareInstallNewApp);

    EXPECT_EQ(client.requests.back(), report("installnewapp", false, "Application%20Failed%20to%20Download"));
    EXPECT_TRUE(entriesOf("/opt").empty());
    EXPECT_FALSE(exists("/tmp/module"));
    for (const auto& c : shellCommands()) EXPECT_EQ(c.rfind("tar ", 0), std::string::npos) << c;
}

TEST_F(PackageCommandsE2E, PackageWithoutModulesDidNotInstall) {
    const std::string src = WORK + "/src";
    writeModule(src, "my-app", "x=1\n");
    sandbox::writeFile(src + "/readme", "plain file");
    platform.serveFile("bundle.tgz", pack(src));
    const struct {
        const char* label;
        std::string url;
    } cases[] = {
        {"a plain file and my-app", platform.fileUrl("bundle.tgz")},
        // The server's error page is saved as the package and does not unpack.
        {"not an archive", platform.fileUrl("missing.tgz")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        client.reply(moduleAnswer("site_7", c.url));
        client.reply("\"ok\"");
        run(declareInstallNewApp);
        EXPECT_EQ(client.requests.back(), report("installnewapp", false, "Application%20Did%20Not%20Install"));
        EXPECT_TRUE(entriesOf("/opt").empty());
        EXPECT_FALSE(exists("/tmp/module"));
    }
}

// What a self-update leaves in the staging directory is not part of the next
// module package: deploying it would replace the agent's own directory.
TEST_F(PackageCommandsE2E, LeftoverAgentTreeIsNotDeployedAsAModule) {
    sandbox::writeFile("/opt/kivclient/etc/settings", "MOD_KIVCLIENT_HOSTEDPLATFORM=platform.example\n");
    sandbox::writeFile("/opt/kivclient/etc/version", "1.0.0\n");
    sandbox::writeFile("/tmp/module/kivclient/etc/version", "2.0.0\n");
    sandbox::writeFile("/tmp/module/kivclient/etc/settings", "");
    const std::string src = WORK + "/src";
    writeModule(src, "Alpha", "a=1\n");

    installPackage(src, "site_7");

    EXPECT_EQ(readFile("/opt/kivclient/etc/settings"), "MOD_KIVCLIENT_HOSTEDPLATFORM=platform.example\n");
    EXPECT_EQ(readFile("/opt/kivclient/etc/version"), "1.0.0\n");
    EXPECT_EQ(entriesOf("/opt/kivclient/applications/site_7/optdirs"), (std::vector<std::string>{"Alpha"}));
    EXPECT_FALSE(exists("/tmp/module"));
}

TEST_F(PackageCommandsE2E, PackageNeverDeploysOverTheAgentItself) {
    sandbox::writeFile("/opt/kivclient/etc/settings", "MOD_KIVCLIENT_HOSTEDPLATFORM=platform.example\n");
    sandbox::installFakeTool("/opt/kivclient/etc/init", CALLS);
    const std::string src = WORK + "/src";
    writeModule(src, "kivclient", "MOD_KIVCLIENT_HOSTEDPLATFORM=elsewhere.example\n");
    writeModule(src, "Alpha", "a=1\n");

    installPackage(src, "site_7");

    EXPECT_EQ(readFile("/opt/kivclient/etc/settings"), "MOD_KIVCLIENT_HOSTEDPLATFORM=platform.example\n");
    EXPECT_EQ(entriesOf("/opt/kivclient/applications/site_7/optdirs"), (std::vector<std::string>{"Alpha"}));
    EXPECT_TRUE(callsStartingWith("/opt/kivclient/").empty());
}

TEST_F(PackageCommandsE2E, FirmwareVerdictIsReportedBeforeSyncAndReboot) {
    platform.serveFile("fw.bin", "IMAGE-7.2.1");
    const struct {
        int code;  // -1: no tool on the router
        bool success;
        const char* message;
    } cases[] = {
        {0, true, "Success"},
        {1, false, "Operation%20Aborted"},
        {2, false, "Internal%20Error"},
        {3, false, "Image%20file%20not%20found"},
        {4, false, "Invalid%20image%20file"},
        {7, false, "Unknown%20error"},
        {-1, false, "Unknown%20error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        sandbox::removeAll(CALLS);
        sandbox::removeAll("/usr/bin/fwupdate");
        if (c.code >= 0) {
            // The tool keeps what it was given, to show the downloaded image.
            sandbox::installFakeTool("/usr/bin/fwupdate", CALLS,
                                     "cp \"$2\" " + WORK + "/image; exit " + std::to_string(c.code));
        }
        sandbox::removeAll(WORK + "/image");
        RecordedSeams recorded;
        client.beforeAnswer = [&recorded](const std::string& path) {
            recorded.events.push_back(path.substr(0, path.find('?')));
        };
        // A display name with blanks is fine: it names no file.
        client.reply("{\"InstallationName\":\"Firmware 7.2.1\",\"InstallationGUID\":\"" + NULL_GUID +
                     "\",\"InstallationPackage\":\"" + platform.fileUrl("fw.bin") +
                     "\",\"AppName\":\"Router Firmware\",\"AppVersion\":\"7.2.1\"}");
        client.reply("\"ok\"");
        run(declareInstallNewApp);

        EXPECT_EQ(client.requests.back(), report("installnewapp", c.success, c.message));
        EXPECT_EQ(recorded.events,
                  (std::vector<std::string>{"getnewapppackage", "commandcompleted", "sync", "reboot"}));
        if (c.code >= 0) {
            EXPECT_EQ(calls(), (std::vector<std::string>{"/usr/bin/fwupdate -i /tmp/firmware/firmware-7.2.1.bin -n"}));
            EXPECT_EQ(readFile(WORK + "/image"), "IMAGE-7.2.1");
        }
        EXPECT_FALSE(exists("/tmp/firmware"));
        client.beforeAnswer = nullptr;
    }
}

TEST_F(PackageCommandsE2E, FirmwareReportThatFailsLeavesTheRouterRunning) {
    platform.serveFile("fw.bin", "IMAGE");
    sandbox::installFakeTool("/usr/bin/fwupdate", CALLS);
    RecordedSeams recorded;
    client.reply("{\"InstallationName\":\"fw\",\"InstallationGUID\":\"" + NULL_GUID + "\",\"InstallationPackage\":\"" +
                 platform.fileUrl("fw.bin") + "\",\"AppName\":\"fw\",\"AppVersion\":\"7.2.1\"}");
    client.fail("Couldn't connect to server");

    EXPECT_THROW(run(declareInstallNewApp), MyExceptionTCP);
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_TRUE(recorded.events.empty());  // neither sync nor reboot
    EXPECT_FALSE(exists("/tmp/firmware"));
}

TEST_F(PackageCommandsE2E, RemovalTakesModulesDataLinksAndRegistryThenIsUnknown) {
    const std::string src = WORK + "/src";
    writeModule(src, "Alpha", "a=1\n");
    writeModule(src, "Beta_2", "b=1\n");
    installPackage(src, "site_7");
    sandbox::writeFile("/var/data/Alpha/db", "x");
    sandbox::makeDirs("/var/data/Beta_2");
    // Registry entries that are not modules are left alone.
    sandbox::makeDirs("/opt/kivclient/applications/site_7/optdirs/my-app");
    sandbox::writeFile("/opt/kivclient/applications/site_7/optdirs/notes", "");
    sandbox::makeDirs("/opt/my-app");
    sandbox::writeFile("/opt/kivclient/applications/other/optdirs/Gamma/.keep", "");
    sandbox::removeAll(CALLS);

    client.reply("{\"AppName\":\"site_7\",\"InstallationGUID\":\"" + MODULE_GUID + "\"}");
    client.reply("\"ok\"");
    run(declareUninstallApp);

    EXPECT_EQ(client.requests[client.requests.size() - 2], "getuninstallapp?deviceuuid=U-1&token=T-1");
    EXPECT_EQ(client.requests.back(), report("uninstallapp", true, ""));
    for (const std::string name : {"Alpha", "Beta_2"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(callsStartingWith("/opt/" + name + "/"),
                  (std::vector<std::string>{"/opt/" + name + "/etc/init stop", "/opt/" + name + "/etc/uninstall"}));
        EXPECT_FALSE(exists("/opt/" + name));
        EXPECT_FALSE(exists("/var/data/" + name));
        EXPECT_FALSE(exists("/var/www/" + name));
    }
    EXPECT_EQ(entriesOf("/opt/kivclient/applications"), (std::vector<std::string>{"other"}));
    EXPECT_TRUE(exists("/opt/my-app"));
    EXPECT_TRUE(contains(shellCommands(), "rm -r /opt/kivclient/applications/site_7"));

    client.reply("{\"AppName\":\"site_7\",\"InstallationGUID\":\"" + MODULE_GUID + "\"}");
    client.reply("\"ok\"");
    run(declareUninstallApp);
    EXPECT_EQ(client.requests.back(), report("uninstallapp", false, "No%20Such%20App"));
}

TEST_F(PackageCommandsE2E, SelfUpdateStartsTheReinstallScriptInTheBackgroundAfterTheReport) {
    const std::string src = WORK + "/agent";
    // The script waits (bounded) for the test's go-ahead, so that it is seen
    // to run on after the command has returned.
    sandbox::installFakeTool(src + "/kivclient/etc/re-install", CALLS,
                             "i=0; while [ ! -e " + WORK + "/go ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
                             "echo finished >> " + CALLS);
    platform.serveFile("kivclient-2.0.tgz", pack(src));
    client.beforeAnswer = [](const std::string& path) {
        if (path.rfind("commandcompleted", 0) != 0) return;
        std::ofstream(CALLS, std::ios::app) << "report; package " << (exists("/tmp/module/kivclient.tgz") ? "kept" : "gone")
                                            << ", tree " << (exists("/tmp/module/kivclient/etc/re-install") ? "unpacked" : "missing")
                                            << "\n";
    };
    client.reply("{\"InstallationName\":\"kivclient\",\"InstallationGUID\":\"" + MODULE_GUID +
                 "\",\"InstallationPackage\":\"" + platform.fileUrl("kivclient-2.0.tgz") +
                 "\",\"AppName\":\"kivclient\",\"AppType\":\"tgz\"}");
    client.reply("\"ok\"");
    run(declareUpdateOrblet);

    EXPECT_EQ(client.requests.front(), "getorbletpackage?deviceuuid=U-1&token=T-1");
    EXPECT_EQ(client.requests.back(), report("updateorblet", true, ""));
    ASSERT_TRUE(sandbox::eventually([] { return calls().size() >= 2; }));
    EXPECT_EQ(calls(), (std::vector<std::string>{"report; package gone, tree unpacked", "/tmp/module/kivclient/etc/re-install"}));
    sandbox::writeFile(WORK + "/go", "");
    EXPECT_TRUE(sandbox::eventually([] { return calls().size() == 3; }));
    EXPECT_EQ(calls().back(), "finished");

    const auto commands = shellCommands();
    EXPECT_TRUE(contains(commands, "tar -zxf /tmp/module/kivclient.tgz -C /tmp/module/"));
    EXPECT_TRUE(contains(commands, "rm -rf /tmp/module/kivclient.tgz"));
}

// The tree an earlier self-update left in the staging directory is not the
// new package: when the new one does not download or brings no re-install
// script, the earlier package's script must not run again as if it were.
TEST_F(PackageCommandsE2E, SelfUpdateNeverStartsAnEarlierPackagesScript) {
    const std::string src = WORK + "/agent";
    sandbox::writeFile(src + "/kivclient/etc/version", "2.0.0\n");
    platform.serveFile("no-script.tgz", pack(src));
    const struct {
        const char* label;
        std::string url;
    } cases[] = {
        {"download fails", "http://127.0.0.1:1/kivclient-2.0.tgz"},
        {"package without re-install", platform.fileUrl("no-script.tgz")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sandbox::removeAll(CALLS);
        sandbox::installFakeTool("/tmp/module/kivclient/etc/re-install", CALLS);
        client.reply("{\"InstallationName\":\"kivclient\",\"InstallationGUID\":\"" + MODULE_GUID +
                     "\",\"InstallationPackage\":\"" + c.url + "\",\"AppName\":\"kivclient\",\"AppType\":\"tgz\"}");
        client.reply("\"ok\"");
        run(declareUpdateOrblet);

        EXPECT_EQ(client.requests.back(), report("updateorblet", true, ""));
        EXPECT_FALSE(exists("/tmp/module/kivclient/etc/re-install"));
        EXPECT_FALSE(sandbox::eventually([] { return !calls().empty(); }, std::chrono::milliseconds(500)));
    }
}

// Names that would leave their directory or reach the shell as code: one
// failed report, and not a single command run.
TEST_F(PackageCommandsE2E, UnsafeNamesRunNothing) {
    const std::string url = platform.fileUrl("bundle.tgz");
    platform.serveFile("bundle.tgz", "x");
    auto install = [&](const std::string& installation, const std::string& app, const std::string& type) {
        return "{\"InstallationName\":\"" + installation + "\",\"InstallationGUID\":\"" + MODULE_GUID +
               "\",\"InstallationPackage\":\"" + url + "\",\"AppName\":\"" + app + "\",\"AppType\":\"" + type + "\"}";
    };
    const struct {
        const char* label;
        Response* (*declare)(Aggregator*, Client*);
        std::string word;
        std::string answer;
    } cases[] = {
        {"InstallationName", declareInstallNewApp, "installnewapp", install("../../opt", "bundle", "tgz")},
        {"AppName", declareInstallNewApp, "installnewapp", install("site", "b;touch /tmp/pwned", "tgz")},
        {"AppType", declareInstallNewApp, "installnewapp", install("site", "bundle", "tgz;touch /tmp/pwned")},
        {"AppVersion", declareInstallNewApp, "installnewapp",
         "{\"InstallationName\":\"fw\",\"InstallationGUID\":\"" + NULL_GUID + "\",\"InstallationPackage\":\"" + url +
             "\",\"AppName\":\"fw\",\"AppVersion\":\"1$(touch /tmp/pwned)\"}"},
        {"uninstall AppName ../../", declareUninstallApp, "uninstallapp",
         "{\"AppName\":\"../../\",\"InstallationGUID\":\"" + MODULE_GUID + "\"}"},
        {"uninstall AppName ;", declareUninstallApp, "uninstallapp",
         "{\"AppName\":\"x;touch /tmp/pwned\",\"InstallationGUID\":\"" + MODULE_GUID + "\"}"},
        {"self-update AppName", declareUpdateOrblet, "updateorblet", install("agent", "..", "tgz")},
        {"self-update AppType", declareUpdateOrblet, "updateorblet", install("agent", "kivclient", "t|touch /tmp/pwned")},
    };
    // Something for a climbing removal to destroy.
    sandbox::writeFile("/opt/kivclient/applications/keep/optdirs/Alpha/.keep", "");
    sandbox::writeFile("/opt/Alpha/etc/settings", "a=1\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sandbox::removeAll(DEBUG_OUTPUT);
        client.reply(c.answer);
        client.reply("\"ok\"");
        run(c.declare);
        EXPECT_EQ(client.requests.back(), report(c.word, false, "Invalid%20Message"));
        EXPECT_TRUE(shellCommands().empty());
        EXPECT_FALSE(exists("/tmp/pwned"));
        EXPECT_FALSE(exists("/tmp/module"));
        EXPECT_FALSE(exists("/tmp/firmware"));
        EXPECT_EQ(readFile("/opt/Alpha/etc/settings"), "a=1\n");
        EXPECT_TRUE(exists("/opt/kivclient/applications/keep/optdirs/Alpha"));
    }
    EXPECT_TRUE(calls().empty());
}

// The installed agent through a whole check-in: it logs in, is told to
// install firmware, reports the verdict and only then flushes the disks and
// restarts the router (recorded by the shim instead).
TEST_F(PackageCommandsE2E, AgentInstallsFirmwareThroughACheckIn) {
    sandbox::AgentLayout layout;
    layout.port = std::to_string(platform.port());
    layout.sleep = "1";
    layout.withIdentity = true;
    layout.uuid = "U-1";
    sandbox::writeAgentLayout(layout, KIV_AGENT_BINARY);
    sandbox::installFakeTool("/usr/bin/fwupdate", CALLS, "exit 3");
    const std::string shimLog = "/var/log/kiv-shim";
    sandbox::removeAll(shimLog);

    platform.serveFile("fw.bin", "IMAGE");
    platform.answer("login", {{200, "{\"ResponseMessage\":\"Success\",\"AuthenticationToken\":\"T-9\"}"}});
    platform.answer("checkin", {{200, "\"InstallNewApp\""}, {200, "\"NoActivity\""}});
    platform.answer("getnewapppackage",
                    {{200, "{\"InstallationName\":\"fw\",\"InstallationGUID\":\"" + NULL_GUID +
                               "\",\"InstallationPackage\":\"" + platform.fileUrl("fw.bin") +
                               "\",\"AppName\":\"fw\",\"AppVersion\":\"7.3\"}"}});
    // The report is written into the shim's record, between the agent's
    // own events.
    platform.on("commandcompleted", [shimLog](const testplatform::Request&) {
        std::ofstream(shimLog, std::ios::app) << "report\n";
        return testplatform::Reply{200, "\"ok\""};
    });

    sandbox::Process agent({"/opt/kivclient/kivclient"}, {{"LD_PRELOAD", KIV_SHIM_LIBRARY},
                                                          {"KIV_SHIM_LOG", shimLog},
                                                          {"KIV_SHIM_SLEEP_MS", "20"}});
    const bool rebooted = sandbox::eventually(
        [&] { return exists(shimLog) && readFile(shimLog).find("reboot") != std::string::npos; },
        std::chrono::seconds(20));
    agent.stop();
    ASSERT_TRUE(rebooted) << agent.outputSoFar();

    std::vector<std::string> events;
    for (const auto& line : lines(readFile(shimLog))) {
        if (line.rfind("sleep", 0) != 0) events.push_back(line);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"report", "sync", "reboot 0x1234567"}));
    const auto reports = platform.requests("commandcompleted");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].query,
              "deviceuuid=U-1&token=T-9&command=installnewapp&issuccess=false&errormessage=Image%20file%20not%20found");
    EXPECT_EQ(calls(), (std::vector<std::string>{"/usr/bin/fwupdate -i /tmp/firmware/firmware-7.3.bin -n"}));
    EXPECT_FALSE(exists("/tmp/firmware"));
}

}  // namespace
