// Every area word, compact and pretty, against a fully answering router,
// compared byte for byte with the expected documents.
#include <tuple>

#include "e2e_support.h"

namespace status_e2e {
namespace {

class AreaDocument : public StatusTest, public testing::WithParamInterface<std::tuple<std::string, bool>> {};

TEST_P(AreaDocument, MatchesExpectedFile) {
    const auto& [area, pretty] = GetParam();
    loadScenario("router");
    std::vector<std::string> args{"--status", area};
    if (pretty) args.push_back("--pretty");

    const auto r = kivstatus(args);

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fixture("router/expected/" + area + (pretty ? ".pretty" : "") + ".json"));
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Router, AreaDocument,
                         testing::Combine(testing::Values("cell", "eth", "sys", "wifi", "loc", "all"),
                                          testing::Bool()),
                         [](const auto& info) {
                             return std::get<0>(info.param) + (std::get<1>(info.param) ? "_pretty" : "_compact");
                         });

TEST_F(StatusTest, QueriesTheScriptWithOneWordPerRunInAreaOrder) {
    loadScenario("router");
    ASSERT_EQ(kivstatus({"--status", "all"}).status, 0);
    EXPECT_EQ(calls(), (std::vector<std::string>{"mobile", "mwan", "module", "sys", "ports", "lan 1", "lan 2", "lan 3",
                                                 "wifi"}));
}

TEST_F(StatusTest, LocationQueriesMwanThenMobileOnly) {
    loadScenario("router");
    ASSERT_EQ(kivstatus({"--status", "loc"}).status, 0);
    EXPECT_EQ(calls(), (std::vector<std::string>{"mwan", "mobile"}));
}

TEST_F(StatusTest, PrettyOnlyAsExactThirdArgumentLaterOnesIgnored) {
    loadScenario("router");
    const std::string pretty = fixture("router/expected/sys.pretty.json");
    const std::string compact = fixture("router/expected/sys.json");
    struct Case {
        std::vector<std::string> args;
        const std::string& expected;
    } cases[] = {
        {{"--status", "sys", "--pretty", "extra"}, pretty},
        {{"--status", "sys", "--pretty", "--pretty"}, pretty},
        {{"--status", "sys", "-p"}, compact},
        {{"--status", "sys", "--PRETTY"}, compact},
        {{"--status", "sys", "", "--pretty"}, compact},
    };
    for (const auto& c : cases) {
        const auto r = kivstatus(c.args);
        EXPECT_EQ(r.status, 0) << c.args[2];
        EXPECT_EQ(r.out, c.expected) << c.args[2];
    }
}

}  // namespace
}  // namespace status_e2e
