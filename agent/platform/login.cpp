#include "core/debug_log.h"
#include "core/exceptions.h"
#include "core/paths.h"
#include "platform/cloud_services.h"
#include "platform/endpoints.h"
#include "settings_store.h"

namespace {

// A UUID becomes one line of the identity file: a line end inside it would
// split that line and could plant other keys (the password among them).
bool fitsOnOneLine(const std::string& value) {
    for (const unsigned char c : value) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

}  // namespace

void CloudServices::login() {
    response = client->getRequest(std::string(endpoint::LOGIN) + "?deviceuuid=" + aggregator->uuid +
                                  "&password=" + aggregator->password + "&firmware=" + firmwareVersion +
                                  "&orbletversion=" + orbletVersion);
    const std::string message = getJSONStringValue("ResponseMessage");
    debugLog("Login: " + message);
    if (message == "Success") {
        aggregator->token = getJSONStringValue("AuthenticationToken");
    } else if (message == "UnknownDevice") {
        registerDevice();  // always ends with a RegistrationException
    } else {
        debugLog("Exception from login - Other login error.");
        throw LoginErrorException(message);
    }
}

void CloudServices::registerDevice() {
    // Read before anything is sent, so that a save keeps every key the
    // file holds (the password above all).
    SettingsStore identity(KIVCGEN_FILE, MODULE_NAME);
    debugLog("Register Device");
    response = client->getRequest(std::string(endpoint::REGISTER) + "?countrycode=" + aggregator->countryCode +
                                  "&sitecode=" + aggregator->siteCode + "&id=" + aggregator->devId +
                                  "&password=" + aggregator->password + "&firmware=" + firmwareVersion +
                                  "&macaddress=" + aggregator->macAddress);
    const std::string message = getJSONStringValue("ResponseMessage");
    const std::string uuid = getJSONStringValue("DeviceUUID");
    if (message == "Success") {
        if (!fitsOnOneLine(uuid)) {
            debugLog("Device UUID with control characters refused");
            throw RegistrationException("Unexpected register response");
        }
        debugLog("Writing Device UUID to kivcGen : " + uuid);
        identity.set("uuid", uuid);
        // The save replaces the whole file: had it not been readable above,
        // the password the device logs in with would be gone for good.
        if (!identity.has("password")) identity.set("password", aggregator->password);
        aggregator->uuid = uuid;
        identity.save();
        throw RegistrationException("Success");
    }
    if (message == "Failed" || message == "NotInManufactured" || message == "AlreadyRegistered") {
        throw RegistrationException(message);
    }
    throw RegistrationException("Unexpected register response");
}
