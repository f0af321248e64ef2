// kivstatus --status cell|eth|sys|wifi|loc|all [--pretty]
// Prints the router's status as one JSON document on standard output, or
// {"msg":"..."} when it cannot be made. Exit status 0 or 1.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "manager.h"
#include "status_source.h"

namespace {

const char* const USAGE = "usage: --status [cell|eth|sys|wifi|all] [--pretty] \n";

// Everything goes to standard output; a write that fails is a failed run.
int emit(const std::string& text, int status) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return std::fflush(stdout) == 0 && written ? status : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::unique_ptr<Manager> cell = std::make_unique<CellManager>();
    std::unique_ptr<Manager> eth = std::make_unique<EthManager>();
    std::unique_ptr<Manager> loc = std::make_unique<LocManager>();
    std::unique_ptr<Manager> sys = std::make_unique<SysManager>();
    std::unique_ptr<Manager> wifi = std::make_unique<WifiManager>();

    if (argc < 2) return emit(USAGE, 1);
    if (std::string(argv[1]) != "--status") return emit(std::string("Invalid option\n") + USAGE, 1);
    if (argc < 3) return emit(errorObject("Missing status area after --status") + "\n", 1);

    const std::string area = argv[2];
    std::vector<std::pair<const char*, Manager*>> areas;
    if (area == "cell") {
        areas = {{"cellular", cell.get()}};
    } else if (area == "eth") {
        areas = {{"ethernet", eth.get()}};
    } else if (area == "sys") {
        areas = {{"system", sys.get()}};
    } else if (area == "wifi") {
        areas = {{"wifi", wifi.get()}};
    } else if (area == "loc") {
        areas = {{"loc", loc.get()}};
    } else if (area == "all") {
        areas = {{"cellular", cell.get()}, {"system", sys.get()}, {"ethernet", eth.get()}, {"wifi", wifi.get()}};
    } else {
        return emit(USAGE, 1);
    }
    const bool pretty = argc >= 4 && std::string(argv[3]) == "--pretty";

    try {
        nlohmann::json document = nlohmann::json::object();
        for (const auto& [member, manager] : areas) {
            document[member] = nlohmann::json::parse(manager->getStatus(pretty));
        }
        return emit(jsonText(document, pretty) + "\n", 0);
    } catch (const std::exception& e) {
        return emit(errorObject(e.what()) + "\n", 1);
    } catch (...) {
        return emit(errorObject("Unknown failure") + "\n", 1);
    }
}
