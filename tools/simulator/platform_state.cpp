#include "platform_state.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

namespace kivsim {

namespace {

// Lists that grow with every check-in are cut to their newest entries.
constexpr size_t LIST_LIMIT = 1000;

void pushCapped(std::vector<json>& list, json entry) {
    list.push_back(std::move(entry));
    if (list.size() > LIST_LIMIT) list.erase(list.begin(), list.begin() + (list.size() - LIST_LIMIT));
}

std::string randomHex(size_t length) {
    static std::mutex m;
    static std::mt19937_64 rng{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::lock_guard<std::mutex> lock(m);
    std::string out;
    for (size_t i = 0; i < length; ++i) out += digits[rng() % 16];
    return out;
}

// A random (version 4) UUID.
std::string newUuid() {
    std::string h = randomHex(32);
    h[12] = '4';
    h[16] = "89ab"[std::stoi(h.substr(16, 1), nullptr, 16) % 4];
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

std::string base64(const std::string& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

// ---- reading admin and scenario JSON ----

const json& member(const json& obj, const char* key) {
    static const json none;
    if (!obj.is_object()) return none;
    auto it = obj.find(key);
    return it == obj.end() ? none : *it;
}

std::string text(const json& obj, const char* key, bool required, const std::string& fallback = "") {
    const json& v = member(obj, key);
    if (v.is_null()) {
        if (required) throw BadInput(std::string("missing \"") + key + "\"");
        return fallback;
    }
    if (!v.is_string()) throw BadInput(std::string("\"") + key + "\" must be a string");
    return v.get<std::string>();
}

long number(const json& obj, const char* key, long fallback, long low, long high) {
    const json& v = member(obj, key);
    if (v.is_null()) return fallback;
    if (!v.is_number_integer()) throw BadInput(std::string("\"") + key + "\" must be an integer");
    const long n = v.get<long>();
    if (n < low || n > high) {
        throw BadInput(std::string("\"") + key + "\" must be between " + std::to_string(low) + " and " +
                       std::to_string(high));
    }
    return n;
}

bool flag(const json& obj, const char* key) {
    const json& v = member(obj, key);
    if (v.is_null()) return false;
    if (!v.is_boolean()) throw BadInput(std::string("\"") + key + "\" must be true or false");
    return v.get<bool>();
}

void requireObject(const json& v, const char* what) {
    if (!v.is_object()) throw BadInput(std::string(what) + " must be a JSON object");
}

void onlyKeys(const json& obj, std::initializer_list<const char*> keys, const char* what) {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        bool known = false;
        for (const char* k : keys) known = known || it.key() == k;
        if (!known) throw BadInput(std::string("unknown member \"") + it.key() + "\" in " + what);
    }
}

std::vector<json> list(const json& obj, const char* key) {
    const json& v = member(obj, key);
    if (v.is_null()) return {};
    if (!v.is_array()) throw BadInput(std::string("\"") + key + "\" must be an array");
    return std::vector<json>(v.begin(), v.end());
}

QueuedCommand parseCommand(const json& given) {
    QueuedCommand c;
    if (given.is_string()) {
        c.name = given.get<std::string>();
    } else {
        requireObject(given, "a command");
        onlyKeys(given, {"name", "instructions"}, "a command");
        c.name = text(given, "name", true);
        const json& ins = member(given, "instructions");
        if (!ins.is_null()) {
            requireObject(ins, "\"instructions\"");
            c.instructions = ins;
        }
    }
    if (c.name.empty()) throw BadInput("a command needs a non-empty name");
    // Settings files travel base64-encoded; a scenario may give the plain text.
    if (c.instructions.contains("SettingsFileText") && !c.instructions.contains("SettingsFile")) {
        if (!c.instructions["SettingsFileText"].is_string()) throw BadInput("\"SettingsFileText\" must be a string");
        c.instructions["SettingsFile"] = base64(c.instructions["SettingsFileText"].get<std::string>());
        c.instructions.erase("SettingsFileText");
    }
    if (c.name == "SetConfig" && !c.instructions.empty() && !member(c.instructions, "url").is_string()) {
        throw BadInput("SetConfig instructions need \"url\" (string)");
    }
    return c;
}

std::deque<QueuedCommand> parseCommands(const json& given) {
    std::deque<QueuedCommand> out;
    if (given.is_array()) {
        for (const auto& c : given) out.push_back(parseCommand(c));
    } else {
        out.push_back(parseCommand(given));
    }
    return out;
}

json commandJson(const QueuedCommand& c) { return {{"name", c.name}, {"instructions", c.instructions}}; }

json queueJson(const std::deque<QueuedCommand>& q) {
    json out = json::array();
    for (const auto& c : q) out.push_back(commandJson(c));
    return out;
}

Fault parseFault(const json& given) {
    requireObject(given, "a fault");
    onlyKeys(given, {"endpoint", "device", "delayMs", "status", "body", "notJson", "drop", "count"}, "a fault");
    Fault f;
    f.endpoint = text(given, "endpoint", true);
    if (f.endpoint.empty()) throw BadInput("\"endpoint\" must not be empty");
    f.device = text(given, "device", false);
    f.delayMs = number(given, "delayMs", 0, 0, 600000);
    f.status = static_cast<int>(number(given, "status", 0, 100, 599));
    if (!member(given, "body").is_null()) f.body = text(given, "body", true);
    f.notJson = flag(given, "notJson");
    f.drop = flag(given, "drop");
    f.remaining = number(given, "count", -1, 1, 1000000000);
    if (f.delayMs == 0 && f.status == 0 && !f.body && !f.notJson && !f.drop) {
        throw BadInput("a fault needs at least one of delayMs, status, body, notJson, drop");
    }
    return f;
}

}  // namespace

json faultToJson(const Fault& f) {
    json j = {{"id", f.id}, {"endpoint", f.endpoint}};
    if (!f.device.empty()) j["device"] = f.device;
    if (f.delayMs != 0) j["delayMs"] = f.delayMs;
    if (f.status != 0) j["status"] = f.status;
    if (f.body) j["body"] = *f.body;
    if (f.notJson) j["notJson"] = true;
    if (f.drop) j["drop"] = true;
    if (f.remaining >= 0) j["count"] = f.remaining;
    return j;
}

namespace {

json manufacturedEntry(const json& given) {
    requireObject(given, "a manufactured entry");
    onlyKeys(given, {"countryCode", "siteCode", "devId", "macAddress"}, "a manufactured entry");
    json e = {{"countryCode", text(given, "countryCode", true)},
              {"siteCode", text(given, "siteCode", true)},
              {"devId", text(given, "devId", true)}};
    if (given.contains("macAddress")) e["macAddress"] = text(given, "macAddress", true);
    return e;
}

std::vector<json> jsonList(const json& obj, const char* key) {
    std::vector<json> out = list(obj, key);
    for (const auto& e : out) requireObject(e, key);
    return out;
}

Device parseDevice(const json& given) {
    requireObject(given, "a device");
    Device d;
    d.uuid = text(given, "uuid", false);
    if (d.uuid.empty()) d.uuid = newUuid();
    d.countryCode = text(given, "countryCode", true);
    d.siteCode = text(given, "siteCode", true);
    d.devId = text(given, "devId", true);
    d.macAddress = text(given, "macAddress", false);
    d.password = text(given, "password", false);
    d.firmware = text(given, "firmware", false);
    d.orbletVersion = text(given, "orbletVersion", false);
    d.token = text(given, "token", false);
    d.registeredAt = text(given, "registeredAt", false, nowText());
    d.lastLogin = text(given, "lastLogin", false);
    d.lastCheckin = text(given, "lastCheckin", false);
    d.logins = number(given, "logins", 0, 0, LONG_MAX);
    d.checkins = number(given, "checkins", 0, 0, LONG_MAX);
    for (const char* key : {"queue", "commands"}) {
        const json& q = member(given, key);
        if (q.is_null()) continue;
        if (!q.is_array()) throw BadInput(std::string("\"") + key + "\" must be an array");
        for (auto& c : parseCommands(q)) d.queue.push_back(std::move(c));
    }
    const json& ins = member(given, "instructions");
    if (!ins.is_null()) {
        requireObject(ins, "\"instructions\"");
        for (auto it = ins.begin(); it != ins.end(); ++it) d.instructions[it.key()] = it.value();
    }
    d.issued = jsonList(given, "issued");
    d.reports = jsonList(given, "reports");
    d.uploads = jsonList(given, "uploads");
    return d;
}

}  // namespace

json parseJson(const std::string& text, int maxDepth) {
    // The parser itself keeps its own stack; the depth is checked as each
    // array or object opens, before anything deeper is built.
    const json::parser_callback_t depthGuard = [maxDepth](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
            depth >= maxDepth) {
            throw BadInput("JSON nested deeper than " + std::to_string(maxDepth) + " levels");
        }
        return true;
    };
    return json::parse(text, depthGuard, false);
}

std::string dumpJson(const json& value, int indent) {
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

std::string instructionEndpoint(const std::string& commandName) {
    static const std::map<std::string, std::string> endpoints = {
        {"Command", "command"},
        {"ChangePassword", "changepassword"},
        {"SetConfig", "setconfig"},
        {"DownloadSettings", "getsettingsfile"},
        {"InstallNewApp", "getnewapppackage"},
        {"UninstallApp", "getuninstallapp"},
        {"UpdateOrblet", "getorbletpackage"},
    };
    auto it = endpoints.find(commandName);
    return it == endpoints.end() ? std::string() : it->second;
}

std::string nowText() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

void PlatformState::setStateFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    stateFile_ = path;
}

// ---- device endpoints ----

RegisterResult PlatformState::registerDevice(const std::string& countryCode, const std::string& siteCode,
                                             const std::string& devId, const std::string& password,
                                             const std::string& firmware, const std::string& macAddress) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (manufacturedRequired_) {
        bool listed = false;
        for (const auto& e : manufactured_) {
            listed = listed || (e["countryCode"] == countryCode && e["siteCode"] == siteCode && e["devId"] == devId &&
                                (!e.contains("macAddress") || e["macAddress"] == macAddress));
        }
        if (!listed) return {"NotInManufactured", ""};
    }
    const std::string name = countryCode + "-" + siteCode + "-" + devId;
    for (const auto& [uuid, d] : devices_) {
        if (d.name() == name) return {"AlreadyRegistered", ""};
    }
    Device d;
    d.uuid = newUuid();
    d.countryCode = countryCode;
    d.siteCode = siteCode;
    d.devId = devId;
    d.password = password;
    d.firmware = firmware;
    d.macAddress = macAddress;
    d.registeredAt = nowText();
    // Commands queued for this device before it existed are its first work.
    auto pending = pendingQueues_.find(name);
    if (pending != pendingQueues_.end()) {
        d.queue = std::move(pending->second);
        pendingQueues_.erase(pending);
    }
    const std::string uuid = d.uuid;
    devices_[uuid] = std::move(d);
    changed();
    return {"Success", uuid};
}

LoginResult PlatformState::login(const std::string& uuid, const std::string& password, const std::string& firmware,
                                 const std::string& orbletVersion) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(uuid);
    if (it == devices_.end()) return {"UnknownDevice", ""};
    Device& d = it->second;
    if (d.password != password) return {"InvalidPassword", ""};
    d.token = randomHex(32);
    d.firmware = firmware;
    d.orbletVersion = orbletVersion;
    d.lastLogin = nowText();
    ++d.logins;
    changed();
    return {"Success", d.token};
}

std::string PlatformState::checkIn(const std::string& uuid, const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(uuid);
    if (it == devices_.end() || it->second.token.empty() || it->second.token != token) return "InvalidToken";
    Device& d = it->second;
    QueuedCommand next{"NoActivity", json::object()};
    if (!d.queue.empty()) {
        next = std::move(d.queue.front());
        d.queue.pop_front();
    }
    const std::string endpoint = instructionEndpoint(next.name);
    if (!endpoint.empty()) d.instructions[endpoint] = next.instructions;
    d.lastCheckin = nowText();
    ++d.checkins;
    pushCapped(d.issued, {{"time", d.lastCheckin}, {"name", next.name}});
    changed();
    return next.name;
}

bool PlatformState::authorised(const std::string& uuid, const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(uuid);
    return it != devices_.end() && !it->second.token.empty() && it->second.token == token;
}

std::string PlatformState::deviceName(const std::string& uuid) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(uuid);
    return it == devices_.end() ? std::string() : it->second.name();
}

std::optional<json> PlatformState::instructions(const std::string& uuid, const std::string& endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(uuid);
    if (it == devices_.end()) return std::nullopt;
    auto ins = it->second.instructions.find(endpoint);
    if (ins == it->second.instructions.end()) return std::nullopt;
    return ins->second;
}

void PlatformState::recordReport(const std::string& uuid, json report) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(uuid);
    if (it == devices_.end()) return;
    report["time"] = nowText();
    pushCapped(it->second.reports, std::move(report));
    changed();
}

long PlatformState::recordUpload(const std::string& uuid, json upload) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(uuid);
    if (it == devices_.end()) return -1;
    auto& uploads = it->second.uploads;
    const long index = uploads.empty() ? 1 : uploads.back().value("index", 0L) + 1;
    upload["index"] = index;
    upload["time"] = nowText();
    pushCapped(uploads, std::move(upload));
    changed();
    return index;
}

// ---- admin ----

Device* PlatformState::find(const std::string& id) {
    auto it = devices_.find(id);
    if (it != devices_.end()) return &it->second;
    for (auto& [uuid, d] : devices_) {
        if (d.name() == id) return &d;
    }
    return nullptr;
}

Device& PlatformState::get(const std::string& id) {
    Device* d = find(id);
    if (d == nullptr) throw NotFound("no device " + id);
    return *d;
}

json PlatformState::deviceJson(const Device& d, bool full) const {
    json j = {{"uuid", d.uuid},
              {"name", d.name()},
              {"countryCode", d.countryCode},
              {"siteCode", d.siteCode},
              {"devId", d.devId},
              {"macAddress", d.macAddress},
              {"firmware", d.firmware},
              {"orbletVersion", d.orbletVersion},
              {"loggedIn", !d.token.empty()},
              {"registeredAt", d.registeredAt},
              {"lastLogin", d.lastLogin},
              {"lastCheckin", d.lastCheckin},
              {"logins", d.logins},
              {"checkins", d.checkins},
              {"queued", d.queue.size()},
              {"reportCount", d.reports.size()},
              {"uploadCount", d.uploads.size()}};
    if (full) {
        j["password"] = d.password;
        j["token"] = d.token;
        j["queue"] = queueJson(d.queue);
        j["instructions"] = json::object();
        for (const auto& [endpoint, ins] : d.instructions) j["instructions"][endpoint] = ins;
        j["issued"] = d.issued;
        j["reports"] = d.reports;
        j["uploads"] = d.uploads;
    }
    return j;
}

json PlatformState::devicesSummary() {
    std::lock_guard<std::mutex> lock(mutex_);
    json out = json::array();
    for (const auto& [uuid, d] : devices_) out.push_back(deviceJson(d, false));
    return out;
}

json PlatformState::device(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceJson(get(id), true);
}

json PlatformState::addDevice(const json& given) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device d = parseDevice(given);
    if (devices_.count(d.uuid) != 0) throw BadInput("a device with uuid " + d.uuid + " exists already");
    for (const auto& [uuid, other] : devices_) {
        if (other.name() == d.name()) throw BadInput("device " + d.name() + " is registered already");
    }
    const std::string uuid = d.uuid;
    devices_[uuid] = std::move(d);
    changed();
    return deviceJson(devices_[uuid], true);
}

void PlatformState::removeDevice(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string uuid = get(id).uuid;
    devices_.erase(uuid);
    changed();
}

json PlatformState::queueCommands(const std::string& id, const json& commands) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<QueuedCommand> parsed = parseCommands(commands);
    Device* d = find(id);
    std::deque<QueuedCommand>& q = d != nullptr ? d->queue : pendingQueues_[id];
    for (auto& c : parsed) q.push_back(std::move(c));
    changed();
    return {{"device", id}, {"registered", d != nullptr}, {"queue", queueJson(q)}};
}

json PlatformState::queue(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Device* d = find(id)) return queueJson(d->queue);
    auto it = pendingQueues_.find(id);
    if (it == pendingQueues_.end()) throw NotFound("no device " + id);
    return queueJson(it->second);
}

void PlatformState::clearQueue(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Device* d = find(id)) {
        d->queue.clear();
    } else if (pendingQueues_.erase(id) == 0) {
        throw NotFound("no device " + id);
    }
    changed();
}

void PlatformState::revokeToken(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    get(id).token.clear();
    changed();
}

json PlatformState::reports(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return get(id).reports;
}

json PlatformState::uploads(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return get(id).uploads;
}

std::string PlatformState::uploadPath(const std::string& id, long index) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& u : get(id).uploads) {
        if (u.value("index", 0L) == index) return u.value("storedAs", "");
    }
    throw NotFound("no upload " + std::to_string(index));
}

json PlatformState::manufactured() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {{"required", manufacturedRequired_}, {"devices", manufactured_}};
}

void PlatformState::setManufactured(const json& given) {
    requireObject(given, "the manufactured list");
    onlyKeys(given, {"required", "devices"}, "the manufactured list");
    std::vector<json> entries;
    for (const auto& e : list(given, "devices")) entries.push_back(manufacturedEntry(e));
    const bool required = flag(given, "required");
    std::lock_guard<std::mutex> lock(mutex_);
    manufacturedRequired_ = required;
    manufactured_ = std::move(entries);
    changed();
}

void PlatformState::addManufactured(const json& entry) {
    json e = manufacturedEntry(entry);
    std::lock_guard<std::mutex> lock(mutex_);
    manufactured_.push_back(std::move(e));
    changed();
}

json PlatformState::faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    json out = json::array();
    for (const auto& f : faults_) out.push_back(faultToJson(f));
    return out;
}

json PlatformState::addFaults(const json& given) {
    std::vector<Fault> parsed;
    if (given.is_array()) {
        for (const auto& f : given) parsed.push_back(parseFault(f));
    } else {
        parsed.push_back(parseFault(given));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    json ids = json::array();
    for (auto& f : parsed) {
        f.id = nextFaultId_++;
        ids.push_back(f.id);
        faults_.push_back(std::move(f));
    }
    return ids;
}

void PlatformState::removeFault(long id) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->id == id) {
            faults_.erase(it);
            return;
        }
    }
    throw NotFound("no fault " + std::to_string(id));
}

void PlatformState::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

std::optional<Fault> PlatformState::takeFault(const std::string& endpoint, const std::string& uuid) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->endpoint != endpoint && !(it->endpoint == "*" && endpoint != "files")) continue;
        if (!it->device.empty()) {
            auto d = devices_.find(uuid);
            const bool same = it->device == uuid || (d != devices_.end() && d->second.name() == it->device);
            if (!same) continue;
        }
        Fault f = *it;
        if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
        return f;
    }
    return std::nullopt;
}

// ---- scenario and persistence ----

void PlatformState::applyScenario(const json& scenario) {
    requireObject(scenario, "a scenario");
    onlyKeys(scenario, {"manufactured", "devices", "commands", "faults"}, "a scenario");
    // Everything is checked before anything is changed.
    std::optional<json> manufacturedSpec;
    if (scenario.contains("manufactured")) {
        manufacturedSpec = scenario["manufactured"];
        requireObject(*manufacturedSpec, "\"manufactured\"");
        onlyKeys(*manufacturedSpec, {"required", "devices"}, "\"manufactured\"");
        for (const auto& e : list(*manufacturedSpec, "devices")) manufacturedEntry(e);
        flag(*manufacturedSpec, "required");
    }
    std::vector<Device> devices;
    for (const auto& given : list(scenario, "devices")) devices.push_back(parseDevice(given));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < devices.size(); ++i) {
            bool clash = devices_.count(devices[i].uuid) != 0 || find(devices[i].name()) != nullptr;
            for (size_t j = 0; j < i; ++j) {
                clash = clash || devices[j].uuid == devices[i].uuid || devices[j].name() == devices[i].name();
            }
            if (clash) throw BadInput("device " + devices[i].name() + " is given twice or registered already");
        }
    }
    std::vector<std::pair<std::string, std::deque<QueuedCommand>>> queues;
    if (scenario.contains("commands")) {
        const json& commands = scenario["commands"];
        requireObject(commands, "\"commands\"");
        for (auto it = commands.begin(); it != commands.end(); ++it) queues.emplace_back(it.key(), parseCommands(it.value()));
    }
    std::vector<json> faults = list(scenario, "faults");
    for (const auto& f : faults) parseFault(f);

    if (manufacturedSpec) setManufactured(*manufacturedSpec);
    for (const auto& d : devices) {
        json given = deviceJson(d, true);
        addDevice(given);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [id, q] : queues) {
            Device* d = find(id);
            std::deque<QueuedCommand>& target = d != nullptr ? d->queue : pendingQueues_[id];
            for (auto& c : q) target.push_back(std::move(c));
        }
        changed();
    }
    if (!faults.empty()) addFaults(json(faults));
}

json PlatformState::stateJson() const {
    json devices = json::array();
    for (const auto& [uuid, d] : devices_) devices.push_back(deviceJson(d, true));
    json pending = json::object();
    for (const auto& [name, q] : pendingQueues_) pending[name] = queueJson(q);
    return {{"version", 1},
            {"manufactured", {{"required", manufacturedRequired_}, {"devices", manufactured_}}},
            {"devices", devices},
            {"pendingCommands", pending}};
}

json PlatformState::toJson() {
    std::lock_guard<std::mutex> lock(mutex_);
    json state = stateJson();
    state["faults"] = json::array();
    for (const auto& f : faults_) state["faults"].push_back(faultToJson(f));
    return state;
}

void PlatformState::loadJson(const json& state) {
    requireObject(state, "a saved state");
    std::map<std::string, Device> devices;
    for (const auto& given : list(state, "devices")) {
        Device d = parseDevice(given);
        const std::string uuid = d.uuid;
        devices[uuid] = std::move(d);
    }
    bool required = false;
    std::vector<json> manufactured;
    if (state.contains("manufactured")) {
        const json& m = state["manufactured"];
        requireObject(m, "\"manufactured\"");
        required = flag(m, "required");
        for (const auto& e : list(m, "devices")) manufactured.push_back(manufacturedEntry(e));
    }
    std::map<std::string, std::deque<QueuedCommand>> pending;
    if (state.contains("pendingCommands")) {
        const json& p = state["pendingCommands"];
        requireObject(p, "\"pendingCommands\"");
        for (auto it = p.begin(); it != p.end(); ++it) pending[it.key()] = parseCommands(it.value());
    }
    devices_ = std::move(devices);
    manufacturedRequired_ = required;
    manufactured_ = std::move(manufactured);
    pendingQueues_ = std::move(pending);
}

void PlatformState::replace(const json& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    loadJson(state);
    changed();
}

void PlatformState::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.clear();
    manufacturedRequired_ = false;
    manufactured_.clear();
    pendingQueues_.clear();
    faults_.clear();
    changed();
}

void PlatformState::save() {
    std::lock_guard<std::mutex> lock(mutex_);
    writeFile();
}

bool PlatformState::load() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ifstream in(stateFile_);
    if (stateFile_.empty() || !in) return false;
    std::stringstream text;
    text << in.rdbuf();
    json state = parseJson(text.str(), 2 * MAX_JSON_DEPTH);
    if (state.is_discarded()) throw BadInput("the state file " + stateFile_ + " is not JSON");
    loadJson(state);
    return true;
}

void PlatformState::changed() { writeFile(); }

// Written to a temporary file first and renamed, so that a simulator killed
// mid-write leaves the previous state intact.
void PlatformState::writeFile() const {
    if (stateFile_.empty()) return;
    const std::string tmp = stateFile_ + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) {
            std::cerr << "kivsim: cannot write " << tmp << "\n";
            return;
        }
        out << dumpJson(stateJson(), 2) << "\n";
        if (!out) {
            std::cerr << "kivsim: cannot write " << tmp << "\n";
            return;
        }
    }
    if (std::rename(tmp.c_str(), stateFile_.c_str()) != 0) std::cerr << "kivsim: cannot replace " << stateFile_ << "\n";
}

}  // namespace kivsim
