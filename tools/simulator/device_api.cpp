#include "device_api.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace kivsim {

namespace {

namespace fs = std::filesystem;

constexpr size_t LOGGED_ANSWER_LIMIT = 2000;

struct HttpError : std::runtime_error {
    HttpError(int s, const std::string& message) : std::runtime_error(message), status(s) {}
    int status;
};

struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
};

// One request being answered.
struct Call {
    const httplib::Request& req;
    ServerContext& ctx;
    json& entry;
};

std::string param(const httplib::Request& req, const std::string& name) {
    if (!req.has_param(name.c_str())) throw HttpError(400, "missing parameter \"" + name + "\"");
    return req.get_param_value(name.c_str());
}

void authorise(const Call& c) {
    const std::string uuid = param(c.req, "deviceuuid");
    const std::string token = param(c.req, "token");
    if (!c.ctx.state.authorised(uuid, token)) throw HttpError(401, "unknown device or token not valid");
}

Reply jsonReply(const json& body) { return {200, dumpJson(body), "application/json"}; }

// Instruction texts may name files of the download directory as "{files}/name";
// the URL then points back at this server, as the device reached it.
json withFileUrls(const json& value, const std::string& base) {
    if (value.is_string()) {
        std::string s = value.get<std::string>();
        for (size_t pos = s.find("{files}"); pos != std::string::npos; pos = s.find("{files}", pos + base.size())) {
            s.replace(pos, 7, base);
        }
        return s;
    }
    if (value.is_structured()) {
        json out = value;
        for (auto it = out.begin(); it != out.end(); ++it) *it = withFileUrls(*it, base);
        return out;
    }
    return value;
}

std::string filesBase(const Call& c) {
    std::string host = c.req.get_header_value("Host");
    if (host.empty()) host = c.req.local_addr + ":" + std::to_string(c.req.local_port);
    return c.ctx.scheme + "://" + host + "/files";
}

// A name that is safe as one path component.
std::string safeName(const std::string& name) {
    std::string out;
    for (char ch : name) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '.' || ch == '-' || ch == '_';
        out += ok ? ch : '_';
    }
    while (!out.empty() && out[0] == '.') out[0] = '_';
    return out.empty() ? "upload" : out;
}

// ---- the endpoints ----

Reply answerRegister(Call& c) {
    const std::string countryCode = param(c.req, "countrycode");
    const std::string siteCode = param(c.req, "sitecode");
    const std::string devId = param(c.req, "id");
    const std::string password = param(c.req, "password");
    const std::string firmware = param(c.req, "firmware");
    const std::string mac = param(c.req, "macaddress");
    c.entry["device"] = countryCode + "-" + siteCode + "-" + devId;
    const RegisterResult r = c.ctx.state.registerDevice(countryCode, siteCode, devId, password, firmware, mac);
    json body = {{"ResponseMessage", r.message}};
    if (!r.uuid.empty()) body["DeviceUUID"] = r.uuid;
    return jsonReply(body);
}

Reply answerLogin(Call& c) {
    const std::string uuid = param(c.req, "deviceuuid");
    const std::string password = param(c.req, "password");
    const std::string firmware = param(c.req, "firmware");
    const std::string orbletVersion = param(c.req, "orbletversion");
    const LoginResult r = c.ctx.state.login(uuid, password, firmware, orbletVersion);
    json body = {{"ResponseMessage", r.message}};
    if (!r.token.empty()) body["AuthenticationToken"] = r.token;
    return jsonReply(body);
}

Reply answerCheckin(Call& c) {
    const std::string name = c.ctx.state.checkIn(param(c.req, "deviceuuid"), param(c.req, "token"));
    return {200, dumpJson(json(name)), "application/json"};
}

Reply answerCompleted(Call& c) {
    authorise(c);
    json report = {{"command", param(c.req, "command")},
                   {"success", param(c.req, "issuccess") == "true"},
                   {"issuccess", param(c.req, "issuccess")},
                   {"message", param(c.req, "errormessage")},
                   {"errormessage", rawParam(c.req.target, "errormessage")}};
    c.entry["report"] = report;
    c.ctx.state.recordReport(c.req.get_param_value("deviceuuid"), report);
    return jsonReply({{"ResponseMessage", "Success"}});
}

Reply answerInstructions(Call& c, const std::string& endpoint) {
    authorise(c);
    const std::string uuid = c.req.get_param_value("deviceuuid");
    std::optional<json> ins = c.ctx.state.instructions(uuid, endpoint);
    if (!ins) throw HttpError(409, "no command for \"" + endpoint + "\" was handed to this device");
    const json answer = withFileUrls(*ins, filesBase(c));
    if (endpoint == "setconfig") {
        // The configuration's URL is the whole body, bare unless asked otherwise.
        const std::string url = answer.value("url", "");
        if (answer.value("quoted", false)) return {200, dumpJson(json(url)), "application/json"};
        return {200, url, "text/plain"};
    }
    return jsonReply(answer);
}

Reply answerUpload(Call& c, const std::string& endpoint) {
    authorise(c);
    if (!c.req.is_multipart_form_data()) throw HttpError(400, "expected a multipart/form-data upload");
    if (!c.req.has_file("file")) throw HttpError(400, "the upload has no part named \"file\"");
    const httplib::MultipartFormData part = c.req.get_file_value("file");
    const std::string uuid = c.req.get_param_value("deviceuuid");

    // Named by time and a counter, so that a restarted simulator never
    // writes over an upload an earlier run stored in the same place.
    static std::atomic<long> counter{0};
    const fs::path dir = fs::path(c.ctx.uploadsDir) / safeName(uuid);
    std::error_code ec;
    fs::create_directories(dir, ec);
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const fs::path stored = dir / (std::to_string(ms) + "-" + std::to_string(++counter) + "-" + endpoint + "-" +
                                   safeName(part.filename));
    {
        std::ofstream out(stored, std::ios::binary | std::ios::trunc);
        out.write(part.content.data(), static_cast<std::streamsize>(part.content.size()));
        if (!out) throw HttpError(500, "cannot store the upload");
    }
    json upload = {{"endpoint", endpoint},
                   {"part", part.name},
                   {"fileName", part.filename},
                   {"contentType", part.content_type},
                   {"size", part.content.size()},
                   {"storedAs", stored.string()}};
    const long index = c.ctx.state.recordUpload(uuid, upload);
    upload["index"] = index;
    c.entry["upload"] = upload;
    return jsonReply({{"ResponseMessage", "Success"}, {"size", part.content.size()}});
}

struct Endpoint {
    const char* method;
    std::function<Reply(Call&)> answer;
};

const std::map<std::string, Endpoint>& endpoints() {
    static const std::map<std::string, Endpoint> table = [] {
        std::map<std::string, Endpoint> t = {
            {"register", {"GET", answerRegister}},
            {"login", {"GET", answerLogin}},
            {"checkin", {"GET", answerCheckin}},
            {"commandcompleted", {"GET", answerCompleted}},
        };
        for (const char* e : {"command", "changepassword", "setconfig", "getsettingsfile", "getnewapppackage",
                              "getuninstallapp", "getorbletpackage"}) {
            t[e] = {"GET", [e](Call& c) { return answerInstructions(c, e); }};
        }
        for (const char* e : {"uploadconfig", "systemlog"}) {
            t[e] = {"POST", [e](Call& c) { return answerUpload(c, e); }};
        }
        return t;
    }();
    return table;
}

// Carries out an injected fault. Returns true when it took the place of the
// normal answer; false for a pure delay, after which the request goes on.
bool applyFault(const std::optional<Fault>& fault, const httplib::Request& req, httplib::Response& res,
                ServerContext& ctx, json& entry) {
    if (!fault) return false;
    entry["fault"] = faultToJson(*fault);
    if (fault->delayMs > 0) ctx.waiter.waitFor(fault->delayMs);
    if (fault->drop) {
        dropConnection(req);
        entry["dropped"] = true;
        res.status = 500;  // never reaches the client
        return true;
    }
    if (fault->status == 0 && !fault->body && !fault->notJson) return false;
    res.status = fault->status != 0 ? fault->status : 200;
    if (fault->body) {
        res.set_content(*fault->body, "application/json");
    } else if (fault->notJson) {
        res.set_content("<html><body>Service temporarily unavailable</body></html>", "text/html");
    } else {
        res.set_content(dumpJson({{"error", "injected fault"}}), "application/json");
    }
    entry["answer"] = res.body.substr(0, LOGGED_ANSWER_LIMIT);
    return true;
}

void finish(ServerContext& ctx, const httplib::Response& res, json& entry) {
    if (!entry.value("dropped", false)) {
        entry["status"] = res.status;
        if (res.status != 200 && !entry.contains("answer")) entry["answer"] = res.body.substr(0, LOGGED_ANSWER_LIMIT);
    }
    ctx.log.append(std::move(entry));
}

void handleDeviceRequest(ServerContext& ctx, const httplib::Request& req, httplib::Response& res) {
    json entry = requestEntry(req, ctx.scheme);
    try {
        const std::string endpoint = req.matches.size() > 1 ? req.matches[1].str() : "";
        entry["endpoint"] = endpoint;
        const std::string uuid = req.has_param("deviceuuid") ? req.get_param_value("deviceuuid") : "";
        if (!uuid.empty()) {
            entry["deviceUuid"] = uuid;
            const std::string name = ctx.state.deviceName(uuid);
            if (!name.empty()) entry["device"] = name;
        }
        auto it = endpoints().find(endpoint);
        if (it == endpoints().end()) throw HttpError(404, "unknown endpoint \"" + endpoint + "\"");
        if (req.method != it->second.method) {
            throw HttpError(405, "\"" + endpoint + "\" takes " + it->second.method + ", not " + req.method);
        }
        if (!applyFault(ctx.state.takeFault(endpoint, uuid), req, res, ctx, entry)) {
            Call call{req, ctx, entry};
            Reply r = it->second.answer(call);
            res.status = r.status;
            res.set_content(r.body, r.contentType.c_str());
            if (it->second.method == std::string("GET")) entry["answer"] = r.body.substr(0, LOGGED_ANSWER_LIMIT);
        }
    } catch (const HttpError& e) {
        sendError(res, e.status, e.what());
    } catch (const BadInput& e) {
        sendError(res, 400, e.what());
    } catch (const std::exception& e) {
        sendError(res, 500, e.what());
    }
    finish(ctx, res, entry);
}

// A path below the download directory: plain names, no way out of it.
bool safeFilePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty() || part == "." || part == ".." || safeName(part) != part) return false;
    }
    return true;
}

void handleFileRequest(ServerContext& ctx, const httplib::Request& req, httplib::Response& res) {
    json entry = requestEntry(req, ctx.scheme);
    entry["endpoint"] = "files";
    try {
        const std::string name = req.matches.size() > 1 ? req.matches[1].str() : "";
        entry["file"] = name;
        if (!applyFault(ctx.state.takeFault("files", ""), req, res, ctx, entry)) {
            if (!safeFilePath(name)) throw HttpError(400, "not a plain file name: \"" + name + "\"");
            const fs::path path = fs::path(ctx.filesDir) / name;
            std::ifstream in(path, std::ios::binary);
            std::error_code ec;
            if (!in || !fs::is_regular_file(path, ec)) throw HttpError(404, "no file \"" + name + "\"");
            std::stringstream content;
            content << in.rdbuf();
            res.status = 200;
            res.set_content(content.str(), "application/octet-stream");
            entry["size"] = res.body.size();
        }
    } catch (const HttpError& e) {
        sendError(res, e.status, e.what());
    } catch (const std::exception& e) {
        sendError(res, 500, e.what());
    }
    finish(ctx, res, entry);
}

}  // namespace

void installDeviceApi(httplib::Server& server, ServerContext& ctx) {
    auto device = [&ctx](const httplib::Request& req, httplib::Response& res) { handleDeviceRequest(ctx, req, res); };
    const std::string pattern = "/api/devices/(.*)";
    server.Get(pattern, device);
    server.Post(pattern, device);
    server.Put(pattern, device);
    server.Patch(pattern, device);
    server.Delete(pattern, device);
    server.Options(pattern, device);
    server.Get("/files/(.*)", [&ctx](const httplib::Request& req, httplib::Response& res) {
        handleFileRequest(ctx, req, res);
    });
}

}  // namespace kivsim
