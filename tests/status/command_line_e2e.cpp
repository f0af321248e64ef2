// Argument errors: nothing is queried, the answer and exit status are fixed.
#include "e2e_support.h"

namespace status_e2e {
namespace {

TEST_F(StatusTest, CommandLineErrors) {
    loadScenario("router");
    const std::string invalid = "Invalid option\n" + USAGE;
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, USAGE},
        {{"--pretty"}, invalid},
        {{"-s", "cell"}, invalid},
        {{"--Status", "cell"}, invalid},
        {{"--status=cell"}, invalid},
        {{"cell", "--status"}, invalid},
        {{"--pretty", "--status", "cell"}, invalid},
        {{""}, invalid},
        {{"--status", "CELL"}, USAGE},
        {{"--status", "location"}, USAGE},
        {{"--status", ""}, USAGE},
        {{"--status", "--pretty"}, USAGE},
        {{"--status", "all "}, USAGE},
        // The area word is missing: an error object, never a crash.
        {{"--status"}, "{\"msg\":\"Missing status area after --status\"}\n"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        const auto r = kivstatus(c.args);
        EXPECT_EQ(r.status >> 8, 1) << shown;
        EXPECT_EQ(r.out, c.out) << shown;
        EXPECT_EQ(r.err, "") << shown;
    }
    EXPECT_EQ(calls(), std::vector<std::string>{});
}

}  // namespace
}  // namespace status_e2e
