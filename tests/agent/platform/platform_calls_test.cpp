// Login, check-in and completion reports on a scripted transport: the exact
// queries, what is stored, and which exception leaves each call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "commands/response.h"
#include "core/exceptions.h"
#include "platform/cloud_services.h"
#include "unit/fake_client.h"
#include "unit/recorded_seams.h"

using ::testing::ElementsAre;

namespace {

class PlatformCalls : public ::testing::Test {
public:
    PlatformCalls() : services(&device, &client) {
        device.uuid = "u-1";
        device.password = "pw";
        device.token = "old";
        device.countryCode = "GB";
        device.siteCode = "";
        device.devId = "D1";
        device.macAddress = "00:11";
        services.firmwareVersion = "7%2e1%0a";
        services.orbletVersion = "1%2e0%0a";
    }
    RecordedSeams seams;
    Aggregator device;
    FakeClient client;
    CloudServices services;
};

TEST_F(PlatformCalls, LoginQueryAndTokenCases) {
    struct Case {
        std::string answer;
        std::string token;  // afterwards
        const char* loginError;  // message of LoginErrorException, or null
    };
    const Case cases[] = {
        {R"({"ResponseMessage":"Success","AuthenticationToken":"t9"})", "t9", nullptr},
        {R"({"ResponseMessage":"Success"})", "", nullptr},  // missing token replaces the old one
        {R"({"ResponseMessage":"success","AuthenticationToken":"t9"})", "old", "success"},
        {R"({"AuthenticationToken":"t9"})", "old", ""},
        {R"({"ResponseMessage":null})", "old", ""},
        {R"({"ResponseMessage":"Locked"})", "old", "Locked"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        device.token = "old";
        client.requests.clear();
        client.reply(c.answer);
        if (c.loginError == nullptr) {
            services.login();
        } else {
            try {
                services.login();
                ADD_FAILURE() << "no LoginErrorException";
            } catch (const LoginErrorException& e) {
                EXPECT_STREQ(e.what(), c.loginError);
            }
        }
        EXPECT_EQ(device.token, c.token);
        EXPECT_THAT(client.requests, ElementsAre("login?deviceuuid=u-1&password=pw&firmware=7%2e1%0a&orbletversion=1%2e0%0a"));
        EXPECT_EQ(services.response, c.answer);
    }
}

TEST_F(PlatformCalls, LoginFailuresBeforeAnythingIsStored) {
    client.fail("Couldn't connect to server");
    EXPECT_THROW(services.login(), MyExceptionTCP);
    client.reply("Success");
    try {
        services.login();
        ADD_FAILURE();
    } catch (const MyException& e) {
        EXPECT_EQ(typeid(e), typeid(MyException));
        EXPECT_STREQ(e.what(), "Bad JSON format of response");
    }
    EXPECT_EQ(device.token, "old");
    EXPECT_EQ(device.uuid, "u-1");
}

// Outcomes that do not write the identity file (the success path does, and
// is tested in the router sandbox).
TEST_F(PlatformCalls, UnknownDeviceRegistersAndRegistrationOutcomesLeaveLogin) {
    struct Case {
        std::string answer;
        std::string message;
    };
    const Case cases[] = {
        {R"({"ResponseMessage":"Failed","DeviceUUID":"x"})", "Failed"},
        {R"({"ResponseMessage":"NotInManufactured"})", "NotInManufactured"},
        {R"({"ResponseMessage":"AlreadyRegistered","DeviceUUID":"x"})", "AlreadyRegistered"},
        {R"({"ResponseMessage":"failed"})", "Unexpected register response"},
        {R"({})", "Unexpected register response"},
        // A UUID that would split its line in the identity file is refused.
        {R"({"ResponseMessage":"Success","DeviceUUID":"abc\nMOD_KIVCLIENT_PASSWORD=x"})",
         "Unexpected register response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        client.requests.clear();
        client.reply(R"({"ResponseMessage":"UnknownDevice"})");
        client.reply(c.answer);
        try {
            services.login();
            ADD_FAILURE() << "login returned";
        } catch (const RegistrationException& e) {
            EXPECT_EQ(e.what(), c.message);
        }
        EXPECT_EQ(device.uuid, "u-1");
        ASSERT_EQ(client.requests.size(), 2u);
        // All six parameters, also the empty site code.
        EXPECT_EQ(client.requests[1],
                  "register?countrycode=GB&sitecode=&id=D1&password=pw&firmware=7%2e1%0a&macaddress=00:11");
    }
}

// Commands of the test table count their objects.
int alive = 0;
int executed = 0;
class Counted : public Response {
public:
    Counted(Aggregator* a, Client* c) : Response(a, c) { ++alive; }
    ~Counted() override { --alive; }
    void execute() override {
        ++executed;
        EXPECT_TRUE(response.empty());  // a new object every time
        response = "used";
    }
};
class Throws : public Counted {
public:
    using Counted::Counted;
    void execute() override { throw std::runtime_error("boom"); }
};
Response* declareCounted(Aggregator* a, Client* c) { return new Counted(a, c); }
Response* declareThrows(Aggregator* a, Client* c) { return new Throws(a, c); }

TEST_F(PlatformCalls, CheckInRunsTheNamedCommandOnceAndDestroysIt) {
    const CommandEntry table[] = {{"Counted", declareCounted}, {"Throws", declareThrows}};
    alive = executed = 0;
    client.reply("\"Counted\"");
    client.reply("\"Counted\"");
    services.checkIn(table, 2);
    services.checkIn(table, 2);
    EXPECT_EQ(executed, 2);
    EXPECT_EQ(alive, 0);
    EXPECT_THAT(client.requests, ElementsAre("checkin?deviceuuid=u-1&token=old", "checkin?deviceuuid=u-1&token=old"));

    client.reply("\"Throws\"");
    EXPECT_THROW(services.checkIn(table, 2), std::runtime_error);
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(client.requests.size(), 3u);  // no report on the command's behalf

    // Only `count` entries are searched.
    client.reply("\"Throws\"");
    client.reply("\"ok\"");
    services.checkIn(table, 1);
    EXPECT_EQ(client.requests.back(),
              "commandcompleted?deviceuuid=u-1&token=old&command=Throws&issuccess=false&errormessage=Unknown%20Command");
}

TEST_F(PlatformCalls, UnknownNamesAreReportedAndInvalidTokenRaises) {
    const CommandEntry table[] = {{"NoActivity", declareCounted}};
    struct Case {
        std::string answer;
        std::string reportedName;  // empty: no report
    };
    const Case cases[] = {
        {"NoActivity", "oActivit"},  // unquoted: loses first and last character
        {"\"noactivity\"", "noactivity"},
        {"\"SystemLog2\"", "SystemLog2"},
        {"\"\"", ""},
        // Echoed names are encoded: a blank would make every report fail as a
        // bad URL, and a "&" would add parameters of the platform's choosing.
        {"\"Do it&x=1\"", "Do%20it%26x%3d1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        client.requests.clear();
        client.reply(c.answer);
        client.reply("\"received\"");
        services.checkIn(table, 1);
        ASSERT_EQ(client.requests.size(), 2u);
        EXPECT_EQ(client.requests[1], "commandcompleted?deviceuuid=u-1&token=old&command=" + c.reportedName +
                                          "&issuccess=false&errormessage=Unknown%20Command");
    }

    client.requests.clear();
    client.reply("\"InvalidToken\"");
    try {
        services.checkIn(table, 1);
        ADD_FAILURE();
    } catch (const InvalidTokenException& e) {
        EXPECT_STREQ(e.what(), "InvalidToken");
    }
    EXPECT_EQ(client.requests.size(), 1u);

    client.reply("");
    EXPECT_THROW(services.checkIn(table, 1), std::out_of_range);
}

TEST_F(PlatformCalls, TableIsSearchedBeforeTheInvalidTokenTest) {
    const CommandEntry table[] = {{"InvalidToken", declareCounted}};
    alive = executed = 0;
    client.reply("\"InvalidToken\"");
    services.checkIn(table, 1);
    EXPECT_EQ(executed, 1);
}

TEST_F(PlatformCalls, CommandCompletedQueryKeepsEmptyValuesAndReplacesResponse) {
    services.response = "earlier";
    client.reply("\"ok\"");
    services.commandCompleted("reboot", true, "");
    client.reply("{}");
    services.commandCompleted("command", false, "a%20b");
    EXPECT_THAT(client.requests,
                ElementsAre("commandcompleted?deviceuuid=u-1&token=old&command=reboot&issuccess=true&errormessage=",
                            "commandcompleted?deviceuuid=u-1&token=old&command=command&issuccess=false&errormessage=a%20b"));
    EXPECT_EQ(services.response, "{}");
    client.fail("Timeout was reached");
    EXPECT_THROW(services.commandCompleted("reboot", true, ""), MyExceptionTCP);
}

}  // namespace
