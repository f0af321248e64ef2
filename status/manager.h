// One status area of kivstatus. Each area queries the router's status
// sources and returns its JSON object as text.
#pragma once

#include <string>

class Manager {
public:
    // The area's object, indented by 4 when `pretty` is set, compact otherwise.
    virtual std::string getStatus(bool pretty) = 0;
    virtual ~Manager() = default;
};

// "cellular": mobile network, WAN addresses and modem.
class CellManager : public Manager {
public:
    std::string getStatus(bool pretty) override;
};

// "ethernet": the LAN ports eth0, eth1 and eth2.
class EthManager : public Manager {
public:
    std::string getStatus(bool pretty) override;
};

// "loc": cellular cell data, the WiFi access point and the GPS position.
class LocManager : public Manager {
public:
    std::string getStatus(bool pretty) override;
};

// "system": firmware, hardware figures and the I/O ports.
class SysManager : public Manager {
public:
    std::string getStatus(bool pretty) override;
};

// "wifi": the WiFi interface; a failed query fails the whole report.
class WifiManager : public Manager {
public:
    std::string getStatus(bool pretty) override;
};
