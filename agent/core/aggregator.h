// The device record: filled once at start-up, then shared by pointer with
// every platform call and command. Login and registration update `uuid` and
// `token` in place.
#pragma once

#include <string>

struct Aggregator {
    std::string homeDir;
    std::string configDir;
    std::string suScriptDir;
    std::string suScriptPrefix;
    std::string suScriptSymLinkDir;
    std::string suScriptSymLinkPrefix;
    std::string defaultCountryCode;
    std::string defaultSiteCode;
    std::string countryCode;
    std::string siteCode;
    std::string devId;
    std::string macAddress;
    std::string password;
    std::string uuid;
    std::string hostedPlatform;
    std::string port;
    std::string connType;
    std::string token;
};
