#include "manager.h"
#include "status_source.h"

namespace {

const FieldName SYS_FIELDS[] = {
    {"firmware_version", "Firmware Version"},
    {"profile", "Profile"},
    {"serial_number", "Serial Number"},
    {"supply_voltage", "Supply Voltage"},
    {"temperature", "Temperature"},
    {"time", "Time"},
    {"uptime", "Uptime"},
};

// Which of these a router has depends on its model and expansion boards.
const FieldName OPTIONAL_PORT_FIELDS[] = {
    {"binary_input", "Binary Input"},
    {"binary_input_0", "Binary Input 0"},
    {"binary_input_1", "Binary Input 1"},
    {"expansion_port", "Expansion Port"},
    {"expansion_port_1", "Expansion Port 1"},
    {"expansion_port_2", "Expansion Port 2"},
};

}  // namespace

std::string SysManager::getStatus(bool pretty) {
    const ProcessResult sysRun = runStatusQuery("sys");
    const ProcessResult portsRun = runStatusQuery("ports");
    if (sysRun.status != 0 || portsRun.status != 0) return "{}";

    const nlohmann::json sys = parseAnswer(sysRun.output);
    const nlohmann::json ports = parseAnswer(portsRun.output);

    nlohmann::json system = nlohmann::json::object();
    copyFields(system, sys, SYS_FIELDS);
    system["binary_output"] = copyField(ports, "Binary Output");
    if (ports.is_object()) {
        for (const FieldName& f : OPTIONAL_PORT_FIELDS) {
            const auto it = ports.find(f.displayName);
            if (it != ports.end()) system[f.member] = *it;
        }
    }
    return jsonText(system, pretty);
}
