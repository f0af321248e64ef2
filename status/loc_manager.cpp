#include "manager.h"
#include "status_source.h"

namespace {

const char* const SUPPLICANT_DUMP = "/var/wifi/wpa_supplicant.dump";
const char* const GPS_PAGE = "/opt/gps/www/index.cgi";

// The text after the last `delimiter` of a line, the whole line when it has
// none. A value left empty ("bssid=") stays empty rather than turning into
// the key.
std::string lastField(const std::string& line, char delimiter) {
    const auto pos = line.rfind(delimiter);
    return pos == std::string::npos ? line : line.substr(pos + 1);
}

// From `from` up to the next newline or the end.
std::string lineAt(const std::string& text, std::string::size_type from) {
    const auto end = text.find('\n', from);
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

void addCellular(nlohmann::json& loc) {
    const ProcessResult mwanRun = runStatusQuery("mwan");
    if (mwanRun.status != 0) {
        loc["cellular"] = nlohmann::json::object();
    } else {
        loc["cellular"]["ip_address"] = copyField(parseAnswer(mwanRun.output), "IP Address");
    }
    // Without the serving cell the address alone does not place the router.
    const ProcessResult mobileRun = runStatusQuery("mobile");
    if (mobileRun.status != 0) {
        loc["cellular"] = nlohmann::json::object();
    } else {
        const nlohmann::json mobile = parseAnswer(mobileRun.output);
        nlohmann::json& cellular = loc["cellular"];
        cellular["plmn"] = copyField(mobile, "PLMN");
        cellular["lac"] = copyField(mobile, "LAC");
        cellular["cell"] = copyField(mobile, "Cell");
    }
}

void addWifi(nlohmann::json& loc) {
    const ProcessResult dump = runProcess("cat", {SUPPLICANT_DUMP});
    if (dump.status != 0) {
        loc["wifi"] = nlohmann::json::object();
        return;
    }
    // The supplicant may have listed several networks; the last one is current.
    for (const std::string& line : splitString(dump.output, '\n')) {
        if (line.find("bssid") != std::string::npos) loc["wifi"]["bssid"] = lastField(line, '=');
    }
}

void addGps(nlohmann::json& loc) {
    const ProcessResult page = runProcess(GPS_PAGE, {});
    const auto latitude = page.status == 0 ? page.output.find("Latitude") : std::string::npos;
    const auto longitude =
        latitude == std::string::npos ? std::string::npos : page.output.find("Longitude", latitude);
    // A latitude alone is no position.
    if (longitude == std::string::npos) {
        loc["gps"] = nlohmann::json::object();
        return;
    }
    loc["gps"]["lat"] = lastField(lineAt(page.output, latitude), ':');
    loc["gps"]["long"] = lastField(lineAt(page.output, longitude), ':');
}

}  // namespace

std::string LocManager::getStatus(bool pretty) {
    nlohmann::json loc = nlohmann::json::object();
    addCellular(loc);
    addWifi(loc);
    addGps(loc);
    return jsonText(loc, pretty);
}
