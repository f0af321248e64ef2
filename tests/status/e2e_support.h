// Runs the real kivstatus at /opt/kivclient/kivstatus inside the router
// sandbox, against a fake status script, supplicant dump and GPS page.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox/sandbox.h"

namespace status_e2e {

// What the fake sources answer: one file per query word (blanks as "_"),
// optionally "<word>.exit" with the exit code; no file is a failed query.
inline const std::string ANSWERS = "/tmp/status-answers";
// One line per script run: the argument count, "|", the first argument.
inline const std::string CALLS = "/tmp/status-calls";
inline const std::string KIVSTATUS = "/opt/kivclient/kivstatus";
inline const std::string DUMP = "/var/wifi/wpa_supplicant.dump";

// The usage line, its blank at the end included.
inline const std::string USAGE = "usage: --status [cell|eth|sys|wifi|all] [--pretty] \n";

class StatusTest : public testing::Test {
protected:
    void SetUp() override;

    // The answer of the status script to `query` ("lan 1" and so on).
    void answer(const std::string& query, const std::string& text, int exitCode = 0);
    // The GPS page generator prints `text` and ends with `exitCode`; without
    // a page it fails.
    void gpsPage(const std::string& text, int exitCode = 0);
    void supplicantDump(const std::string& text);
    // Every answer of tests/status/fixtures/<name>/ (the supplicant dump included).
    void loadScenario(const std::string& name);

    sandbox::RunResult kivstatus(const std::vector<std::string>& args);
    // Query words in the order the script was run; a run with other than
    // exactly one argument shows up as "<count>|<first>".
    std::vector<std::string> calls();
};

std::string fixture(const std::string& relative);

}  // namespace status_e2e
