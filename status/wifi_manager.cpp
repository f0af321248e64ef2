#include <stdexcept>

#include "manager.h"
#include "status_source.h"

namespace {

const FieldName WIFI_FIELDS[] = {
    {"ip6_addr", "IPv6 Address"},
    {"ip_addr", "IP Address"},
    {"mac_addr", "MAC Address"},
    {"rx_data", "Rx Data"},
    {"tx_data", "Tx Data"},
};

}  // namespace

std::string WifiManager::getStatus(bool pretty) {
    const ProcessResult run = runStatusQuery("wifi");
    if (run.status != 0) throw std::runtime_error("Failed to fetch wifi status");
    const nlohmann::json answer = parseAnswer(run.output);

    nlohmann::json wifi = nlohmann::json::object();
    copyFields(wifi, answer, WIFI_FIELDS);
    return jsonText(wifi, pretty);
}
