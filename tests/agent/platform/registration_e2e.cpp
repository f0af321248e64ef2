// Registration's effect on the identity file, in this process inside the
// sandbox (the file lives at its real path).
#include <gtest/gtest.h>

#include "core/exceptions.h"
#include "platform/cloud_services.h"
#include "sandbox/sandbox.h"
#include "unit/fake_client.h"
#include "unit/recorded_seams.h"

namespace {

const char* const IDENTITY = "/var/data/kivc/settings.kivcGen";

std::string registerWith(const std::string& answer, Aggregator& device) {
    FakeClient client;
    CloudServices services(&device, &client);
    client.reply(R"({"ResponseMessage":"UnknownDevice"})");
    client.reply(answer);
    try {
        services.login();
    } catch (const RegistrationException& e) {
        return e.what();
    }
    return "(no RegistrationException)";
}

TEST(Registration, SuccessStoresTheUuidAndKeepsTheOtherKeys) {
    KIV_REQUIRE_SANDBOX();
    sandbox::resetRouter();
    RecordedSeams seams;
    const struct {
        std::string answer;
        std::string message;
        std::string file;  // afterwards
        std::string uuid;  // in the record afterwards
        bool unreadable = false;  // the identity file cannot be read at registration
    } cases[] = {
        {R"({"ResponseMessage":"Success","DeviceUUID":"uuid-7"})", "Success",
         "MOD_KIVCLIENT_EXTRA=keep\nMOD_KIVCLIENT_PASSWORD=Secret123456789\nMOD_KIVCLIENT_UUID=uuid-7\n", "uuid-7"},
        {R"({"ResponseMessage":"Success","DeviceUUID":"a b"})", "Success",
         "MOD_KIVCLIENT_EXTRA=keep\nMOD_KIVCLIENT_PASSWORD=Secret123456789\nMOD_KIVCLIENT_UUID=\"a b\"\n", "a b"},
        {R"({"ResponseMessage":"Success"})", "Success",
         "MOD_KIVCLIENT_EXTRA=keep\nMOD_KIVCLIENT_PASSWORD=Secret123456789\nMOD_KIVCLIENT_UUID=\n", ""},
        {R"({"ResponseMessage":"AlreadyRegistered","DeviceUUID":"uuid-8"})", "AlreadyRegistered",
         "MOD_KIVCLIENT_PASSWORD=Secret123456789\nMOD_KIVCLIENT_UUID=\nMOD_KIVCLIENT_EXTRA=keep\n", "old"},
        {R"({"ResponseMessage":"Success","DeviceUUID":"x\nMOD_KIVCLIENT_PASSWORD=evil"})",
         "Unexpected register response",
         "MOD_KIVCLIENT_PASSWORD=Secret123456789\nMOD_KIVCLIENT_UUID=\nMOD_KIVCLIENT_EXTRA=keep\n", "old"},
        // The password the device logs in with is never dropped from the file.
        {R"({"ResponseMessage":"Success","DeviceUUID":"uuid-9"})", "Success",
         "MOD_KIVCLIENT_PASSWORD=Secret123456789\nMOD_KIVCLIENT_UUID=uuid-9\n", "uuid-9", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        if (c.unreadable) {
            sandbox::removeAll(IDENTITY);
        } else {
            sandbox::writeFile(IDENTITY, "MOD_KIVCLIENT_PASSWORD=Secret123456789\nMOD_KIVCLIENT_UUID=\nMOD_KIVCLIENT_EXTRA=keep\n");
        }
        Aggregator device;
        device.uuid = "old";
        device.password = "Secret123456789";  // as read at start-up
        EXPECT_EQ(registerWith(c.answer, device), c.message);
        EXPECT_EQ(sandbox::readFile(IDENTITY), c.file);
        EXPECT_EQ(device.uuid, c.uuid);
    }
}

}  // namespace
