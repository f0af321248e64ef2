#include "manager.h"
#include "status_source.h"

namespace {

const FieldName MOBILE_FIELDS[] = {
    {"cell", "Cell"},
    {"channel", "Channel"},
    {"lac", "LAC"},
    {"operator", "Operator"},
    {"plmn", "PLMN"},
    {"registration", "Registration"},
    {"signal_quality", "Signal Quality"},
    {"signal_strength", "Signal Strength"},
    {"technology", "Technology"},
};
const FieldName MWAN_FIELDS[] = {
    {"ip6_address", "IPv6 Address"},
    {"ip_address", "IP Address"},
    {"sim_card", "SIM Card"},
};
const FieldName MODULE_FIELDS[] = {
    {"manufacturer", "Manufacturer"},
    {"model", "Model"},
    {"revision", "Revision"},
};

bool isUnassigned(const nlohmann::json& mwan, const char* displayName) {
    const nlohmann::json* value = testedMember(mwan, displayName);
    return value != nullptr && value->is_string() && value->get_ref<const std::string&>() == "Unassigned";
}

}  // namespace

std::string CellManager::getStatus(bool pretty) {
    // All three are asked before any answer is looked at.
    const ProcessResult mobileRun = runStatusQuery("mobile");
    const ProcessResult mwanRun = runStatusQuery("mwan");
    const ProcessResult moduleRun = runStatusQuery("module");
    if (mobileRun.status != 0 || mwanRun.status != 0 || moduleRun.status != 0) return "{}";

    const nlohmann::json mobile = parseAnswer(mobileRun.output);
    const nlohmann::json mwan = parseAnswer(mwanRun.output);
    const nlohmann::json module = parseAnswer(moduleRun.output);

    nlohmann::json cellular = nlohmann::json::object();
    // Connected as soon as either address family has one.
    cellular["connected"] = !isUnassigned(mwan, "IP Address") || !isUnassigned(mwan, "IPv6 Address");
    copyFields(cellular, mobile, MOBILE_FIELDS);
    copyFields(cellular, mwan, MWAN_FIELDS);
    copyFields(cellular, module, MODULE_FIELDS);
    return jsonText(cellular, pretty);
}
