#include "e2e_support.h"

#include <filesystem>
#include <sstream>

namespace status_e2e {

namespace {

std::string fileName(std::string query) {
    for (char& c : query) {
        if (c == ' ') c = '_';
    }
    return ANSWERS + "/" + query;
}

}  // namespace

std::string fixture(const std::string& relative) {
    return sandbox::readFile(std::string(KIV_STATUS_FIXTURES) + "/" + relative);
}

void StatusTest::SetUp() {
    KIV_REQUIRE_SANDBOX();
    sandbox::resetRouter();
    sandbox::installFile(KIV_STATUS_BINARY, KIVSTATUS);
    sandbox::makeDirs(ANSWERS);
    sandbox::writeFile("/opt/kivclient/scripts/status.sh",
                       "#!/bin/sh\n"
                       "printf '%s|%s\\n' \"$#\" \"$1\" >> " + CALLS + "\n"
                       "f=" + ANSWERS + "/$(printf '%s' \"$1\" | tr ' ' _)\n"
                       "[ -f \"$f\" ] || { echo \"unknown query: $1\"; exit 1; }\n"
                       "cat \"$f\"\n"
                       "[ -f \"$f.exit\" ] && exit \"$(cat \"$f.exit\")\"\n"
                       "exit 0\n",
                       0755);
    sandbox::writeFile("/opt/gps/www/index.cgi",
                       "#!/bin/sh\n"
                       "f=" + ANSWERS + "/gps.page\n"
                       "[ -f \"$f\" ] || exit 1\n"
                       "cat \"$f\"\n"
                       "[ -f \"$f.exit\" ] && exit \"$(cat \"$f.exit\")\"\n"
                       "exit 0\n",
                       0755);
}

void StatusTest::answer(const std::string& query, const std::string& text, int exitCode) {
    sandbox::writeFile(fileName(query), text);
    if (exitCode != 0) sandbox::writeFile(fileName(query) + ".exit", std::to_string(exitCode));
}

void StatusTest::gpsPage(const std::string& text, int exitCode) { answer("gps.page", text, exitCode); }

void StatusTest::supplicantDump(const std::string& text) { sandbox::writeFile(DUMP, text); }

void StatusTest::loadScenario(const std::string& name) {
    namespace fs = std::filesystem;
    for (const auto& entry : fs::directory_iterator(std::string(KIV_STATUS_FIXTURES) + "/" + name)) {
        if (!entry.is_regular_file()) continue;
        const std::string file = entry.path().filename().string();
        const std::string content = sandbox::readFile(entry.path().string());
        if (file == "wpa_supplicant.dump") {
            supplicantDump(content);
        } else {
            sandbox::writeFile(ANSWERS + "/" + file, content);
        }
    }
}

sandbox::RunResult StatusTest::kivstatus(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KIVSTATUS};
    argv.insert(argv.end(), args.begin(), args.end());
    return sandbox::run(argv, {}, std::chrono::seconds(60));
}

std::vector<std::string> StatusTest::calls() {
    std::vector<std::string> words;
    std::istringstream in(sandbox::readFile(CALLS));
    std::string line;
    while (std::getline(in, line)) {
        words.push_back(line.rfind("1|", 0) == 0 ? line.substr(2) : line);
    }
    return words;
}

}  // namespace status_e2e
