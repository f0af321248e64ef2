#include "manager.h"
#include "status_source.h"

namespace {

const FieldName PORT_FIELDS[] = {
    {"bridge", "Bridged"},
    {"ip6_addr", "IPv6 Address"},
    {"ip_addr", "IP Address"},
    {"mac_addr", "MAC Address"},
    {"rx_data", "Rx Data"},
    {"tx_data", "Tx Data"},
};

nlohmann::json portObject(const nlohmann::json& answer) {
    nlohmann::json port = nlohmann::json::object();
    copyFields(port, answer, PORT_FIELDS);
    return port;
}

// A failed query for an optional port counts as an empty answer.
nlohmann::json optionalAnswer(const ProcessResult& run) {
    return run.status == 0 ? parseAnswer(run.output) : nlohmann::json();
}

// An unfitted port answers with nothing or with an all-zero MAC address.
bool portPresent(const nlohmann::json& answer) {
    if (answer.empty()) return false;
    const nlohmann::json* mac = testedMember(answer, "MAC Address");
    return mac == nullptr || !mac->is_string() || mac->get_ref<const std::string&>() != "00:00:00:00:00:00";
}

}  // namespace

std::string EthManager::getStatus(bool pretty) {
    const ProcessResult lan1 = runStatusQuery("lan 1");
    const ProcessResult lan2 = runStatusQuery("lan 2");
    const ProcessResult lan3 = runStatusQuery("lan 3");
    if (lan1.status != 0) return "{}";

    const nlohmann::json eth0 = parseAnswer(lan1.output);
    const nlohmann::json eth1 = optionalAnswer(lan2);
    const nlohmann::json eth2 = optionalAnswer(lan3);

    nlohmann::json ethernet = nlohmann::json::object();
    ethernet["eth0"] = portObject(eth0);
    if (portPresent(eth1)) ethernet["eth1"] = portObject(eth1);
    if (portPresent(eth2)) ethernet["eth2"] = portObject(eth2);
    return jsonText(ethernet, pretty);
}
