// What the simulated platform knows: registered devices with their tokens,
// the manufactured list, per-device command queues with the instructions
// each command's endpoint answers, completion reports, uploads, and the
// faults waiting to be injected. Every public operation takes the one lock,
// so the HTTP and HTTPS servers' worker threads can share one object.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kivsim {

using json = nlohmann::json;

// Dumps JSON without ever throwing on bytes that are not UTF-8: requests
// may carry anything, and the log and the answers must still come out.
std::string dumpJson(const json& value, int indent = -1);

// A bad admin or scenario input: answered with 400 and this message.
struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Deepest nesting of arrays and objects accepted from a client or a scenario.
// Copying, printing and saving a value recurse once per level, so a deeper
// one would overflow the stack and end the simulator. The saved state wraps
// accepted values in a few levels of its own, so it is read with twice this.
constexpr int MAX_JSON_DEPTH = 256;

// Parses JSON text: a discarded value when it is not JSON, BadInput when it
// is nested deeper than `maxDepth`.
json parseJson(const std::string& text, int maxDepth = MAX_JSON_DEPTH);
// An admin request about a device the platform does not know: 404.
struct NotFound : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct QueuedCommand {
    std::string name;
    json instructions = json::object();
};

struct Device {
    std::string uuid;
    std::string countryCode, siteCode, devId, macAddress;
    std::string password;
    std::string firmware, orbletVersion;
    std::string token;  // empty: no valid token (never logged in, or revoked)
    std::string registeredAt, lastLogin, lastCheckin;
    long logins = 0;
    long checkins = 0;
    std::deque<QueuedCommand> queue;
    std::map<std::string, json> instructions;  // by endpoint, for the command handed out last
    std::vector<json> issued;                  // {time, name}
    std::vector<json> reports;                 // completion reports as received
    std::vector<json> uploads;                 // metadata; contents live in files

    // The name the agent gives itself: country code, site code and device id.
    std::string name() const { return countryCode + "-" + siteCode + "-" + devId; }
};

struct Fault {
    long id = 0;
    std::string endpoint;  // "checkin", "files", ... or "*" for every device endpoint
    std::string device;    // uuid or device name; empty for every device
    long delayMs = 0;
    int status = 0;  // 0: keep the normal status
    std::optional<std::string> body;
    bool notJson = false;
    bool drop = false;
    long remaining = -1;  // -1: until removed
};

json faultToJson(const Fault& fault);

struct RegisterResult {
    std::string message;  // "Success", "NotInManufactured", "AlreadyRegistered"
    std::string uuid;
};

struct LoginResult {
    std::string message;  // "Success", "UnknownDevice", "InvalidPassword"
    std::string token;
};

// The endpoint that answers a command's instructions, empty for commands that
// fetch none ("NoActivity", "Reboot", the two uploads, unknown names).
std::string instructionEndpoint(const std::string& commandName);

// Current time as an ISO 8601 text in UTC with milliseconds.
std::string nowText();

class PlatformState {
public:
    // With a path, the state is written there after every change.
    void setStateFile(const std::string& path);
    const std::string& stateFile() const { return stateFile_; }

    // ---- what the device endpoints do ----
    RegisterResult registerDevice(const std::string& countryCode, const std::string& siteCode,
                                  const std::string& devId, const std::string& password,
                                  const std::string& firmware, const std::string& macAddress);
    LoginResult login(const std::string& uuid, const std::string& password, const std::string& firmware,
                      const std::string& orbletVersion);
    // The next command's name, or "InvalidToken" for a token the platform does not accept.
    std::string checkIn(const std::string& uuid, const std::string& token);
    bool authorised(const std::string& uuid, const std::string& token);
    // The device's name for a uuid, empty when the uuid is unknown.
    std::string deviceName(const std::string& uuid);
    // The instructions of the command handed out last that uses `endpoint`.
    std::optional<json> instructions(const std::string& uuid, const std::string& endpoint);
    void recordReport(const std::string& uuid, json report);
    // Returns the upload's sequence number within the device.
    long recordUpload(const std::string& uuid, json upload);

    // ---- admin ----
    json devicesSummary();
    json device(const std::string& id);  // uuid or device name; throws NotFound
    json addDevice(const json& given);    // returns the device
    void removeDevice(const std::string& id);
    // Queues for a registered device, or for a device name that is to register.
    json queueCommands(const std::string& id, const json& commands);
    json queue(const std::string& id);
    void clearQueue(const std::string& id);
    void revokeToken(const std::string& id);
    json reports(const std::string& id);
    json uploads(const std::string& id);
    std::string uploadPath(const std::string& id, long index);  // throws NotFound

    json manufactured();
    void setManufactured(const json& given);
    void addManufactured(const json& entry);

    json faults();
    json addFaults(const json& given);  // object or array; returns the ids
    void removeFault(long id);
    void clearFaults();
    // The first fault matching the request, with its count used up.
    std::optional<Fault> takeFault(const std::string& endpoint, const std::string& uuid);

    // Applies a scenario: manufactured list, devices, queues, faults.
    void applyScenario(const json& scenario);
    json toJson();
    void replace(const json& state);  // the whole saved state
    void reset();
    void save();  // to the state file, if any
    // Loads the state file when it exists; returns whether it did.
    bool load();

private:
    Device* find(const std::string& id);
    Device& get(const std::string& id);
    json deviceJson(const Device& d, bool full) const;
    json stateJson() const;
    void loadJson(const json& state);
    void changed();
    void writeFile() const;

    std::mutex mutex_;
    std::string stateFile_;
    std::map<std::string, Device> devices_;  // by uuid
    bool manufacturedRequired_ = false;
    std::vector<json> manufactured_;
    std::map<std::string, std::deque<QueuedCommand>> pendingQueues_;  // by device name
    std::vector<Fault> faults_;
    long nextFaultId_ = 1;
};

}  // namespace kivsim
