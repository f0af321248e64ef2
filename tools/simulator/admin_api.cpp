#include "admin_api.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace kivsim {

namespace {

struct AdminError : std::runtime_error {
    AdminError(int s, const std::string& message) : std::runtime_error(message), status(s) {}
    int status;
};

const char* const ROUTES[] = {
    "GET    /admin/",
    "GET    /admin/summary                       plain-text account of every device",
    "GET    /admin/state                         everything the simulator knows",
    "PUT    /admin/state                         replace it (same format)",
    "POST   /admin/state/save                    write it to the state file now",
    "POST   /admin/reset                         forget devices, queues, faults and requests",
    "POST   /admin/scenario                      apply a scenario (see README)",
    "GET    /admin/devices                       list devices",
    "POST   /admin/devices                       add a registered device",
    "GET    /admin/devices/{id}                  one device; id = uuid or CC-SITE-DEVID",
    "DELETE /admin/devices/{id}                  forget a device",
    "GET    /admin/devices/{id}/commands         its queue",
    "POST   /admin/devices/{id}/commands         queue command(s): {\"name\":..., \"instructions\":{...}}",
    "DELETE /admin/devices/{id}/commands         empty its queue",
    "POST   /admin/devices/{id}/revoke           revoke its token",
    "GET    /admin/devices/{id}/reports          its completion reports",
    "GET    /admin/devices/{id}/uploads          its uploads",
    "GET    /admin/devices/{id}/uploads/{n}      the content of upload n",
    "GET    /admin/manufactured                  the manufactured list",
    "PUT    /admin/manufactured                  replace it: {\"required\":true, \"devices\":[...]}",
    "POST   /admin/manufactured                  add one entry",
    "GET    /admin/faults                        pending faults",
    "POST   /admin/faults                        inject fault(s)",
    "DELETE /admin/faults                        remove all faults",
    "DELETE /admin/faults/{id}                   remove one fault",
    "GET    /admin/requests?since=N&endpoint=E&device=D&admin=1   logged requests",
};

std::vector<std::string> segments(const std::string& path) {
    std::vector<std::string> out;
    std::stringstream ss(path);
    std::string s;
    while (std::getline(ss, s, '/')) {
        if (!s.empty()) out.push_back(s);
    }
    return out;  // out[0] is "admin"
}

json body(const httplib::Request& req) {
    json j = parseJson(req.body);
    if (j.is_discarded()) throw BadInput("the request body is not valid JSON");
    return j;
}

long toNumber(const std::string& s, const char* what) {
    try {
        size_t used = 0;
        const long n = std::stol(s, &used);
        if (used == s.size()) return n;
    } catch (const std::exception&) {
    }
    throw BadInput(std::string(what) + " must be a number: \"" + s + "\"");
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw NotFound("the upload's file is gone: " + path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The admin interface's answer for one request; throws for errors.
void route(ServerContext& ctx, const httplib::Request& req, httplib::Response& res) {
    const std::vector<std::string> seg = segments(req.path);
    const std::string& m = req.method;
    const size_t n = seg.size();
    auto ok = [&res](const json& j) { sendJson(res, 200, j); };
    auto is = [&](size_t count, const char* method) { return n == count && m == method; };
    auto unknownMethod = [&]() { throw AdminError(405, m + " is not allowed on " + req.path); };

    if (n == 1) {
        if (m != "GET") unknownMethod();
        return ok({{"routes", ROUTES}});
    }
    const std::string& what = seg[1];
    if (what == "summary" && n == 2) {
        if (m != "GET") unknownMethod();
        res.status = 200;
        res.set_content(summaryText(ctx.state), "text/plain");
        return;
    }
    if (what == "state" && n == 2) {
        if (m == "GET") return ok(ctx.state.toJson());
        if (m == "PUT") {
            ctx.state.replace(body(req));
            return ok({{"replaced", true}});
        }
        unknownMethod();
    }
    if (what == "state" && n == 3 && seg[2] == "save") {
        if (m != "POST") unknownMethod();
        if (ctx.state.stateFile().empty()) throw AdminError(409, "the simulator runs without a state file");
        ctx.state.save();
        return ok({{"saved", ctx.state.stateFile()}});
    }
    if (what == "reset" && n == 2) {
        if (m != "POST") unknownMethod();
        ctx.state.reset();
        ctx.log.clear();
        return ok({{"reset", true}});
    }
    if (what == "scenario" && n == 2) {
        if (m != "POST") unknownMethod();
        ctx.state.applyScenario(body(req));
        return ok({{"applied", true}});
    }
    if (what == "devices") {
        if (is(2, "GET")) return ok(ctx.state.devicesSummary());
        if (is(2, "POST")) return sendJson(res, 201, ctx.state.addDevice(body(req)));
        if (n == 2) unknownMethod();
        const std::string& id = seg[2];
        if (is(3, "GET")) return ok(ctx.state.device(id));
        if (is(3, "DELETE")) {
            ctx.state.removeDevice(id);
            return ok({{"removed", id}});
        }
        if (n == 3) unknownMethod();
        const std::string& sub = seg[3];
        if (sub == "commands" && n == 4) {
            if (m == "GET") return ok(ctx.state.queue(id));
            if (m == "POST") return ok(ctx.state.queueCommands(id, body(req)));
            if (m == "DELETE") {
                ctx.state.clearQueue(id);
                return ok({{"cleared", id}});
            }
            unknownMethod();
        }
        if (sub == "revoke" && n == 4) {
            if (m != "POST") unknownMethod();
            ctx.state.revokeToken(id);
            return ok({{"revoked", id}});
        }
        if (sub == "reports" && n == 4) {
            if (m != "GET") unknownMethod();
            return ok(ctx.state.reports(id));
        }
        if (sub == "uploads" && n == 4) {
            if (m != "GET") unknownMethod();
            return ok(ctx.state.uploads(id));
        }
        if (sub == "uploads" && n == 5) {
            if (m != "GET") unknownMethod();
            const std::string content = readFile(ctx.state.uploadPath(id, toNumber(seg[4], "the upload number")));
            res.status = 200;
            res.set_content(content, "application/octet-stream");
            return;
        }
    }
    if (what == "manufactured" && n == 2) {
        if (m == "GET") return ok(ctx.state.manufactured());
        if (m == "PUT") {
            ctx.state.setManufactured(body(req));
            return ok(ctx.state.manufactured());
        }
        if (m == "POST") {
            ctx.state.addManufactured(body(req));
            return ok(ctx.state.manufactured());
        }
        unknownMethod();
    }
    if (what == "faults" && n == 2) {
        if (m == "GET") return ok(ctx.state.faults());
        if (m == "POST") return ok({{"ids", ctx.state.addFaults(body(req))}});
        if (m == "DELETE") {
            ctx.state.clearFaults();
            return ok({{"cleared", true}});
        }
        unknownMethod();
    }
    if (what == "faults" && n == 3) {
        if (m != "DELETE") unknownMethod();
        ctx.state.removeFault(toNumber(seg[2], "the fault id"));
        return ok({{"removed", seg[2]}});
    }
    if (what == "requests" && n == 2) {
        if (m != "GET") unknownMethod();
        const long since = req.has_param("since") ? toNumber(req.get_param_value("since"), "since") : 0;
        return ok(ctx.log.since(since, req.get_param_value("endpoint"), req.get_param_value("device"),
                                req.get_param_value("admin") == "1"));
    }
    throw AdminError(404, "no admin route " + req.path + " (GET /admin/ lists them)");
}

void handleAdminRequest(ServerContext& ctx, const httplib::Request& req, httplib::Response& res) {
    json entry = requestEntry(req, ctx.scheme);
    entry["endpoint"] = "admin" + (req.path.size() > 6 ? req.path.substr(6) : std::string());
    try {
        route(ctx, req, res);
    } catch (const AdminError& e) {
        sendError(res, e.status, e.what());
    } catch (const BadInput& e) {
        sendError(res, 400, e.what());
    } catch (const NotFound& e) {
        sendError(res, 404, e.what());
    } catch (const std::exception& e) {
        sendError(res, 500, e.what());
    }
    entry["status"] = res.status;
    ctx.log.append(std::move(entry));
}

std::string oneLine(const std::string& s, size_t limit) {
    std::string out;
    for (char c : s) out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > limit) out = out.substr(0, limit) + "...";
    return out;
}

}  // namespace

std::string summaryText(PlatformState& state) {
    std::ostringstream out;
    const json devices = state.devicesSummary();
    if (devices.empty()) out << "No device has registered.\n";
    for (const auto& summary : devices) {
        const json d = state.device(summary["uuid"].get<std::string>());
        out << "Device " << d["name"].get<std::string>() << "  (uuid " << d["uuid"].get<std::string>() << ")\n";
        out << "  firmware " << oneLine(d["firmware"], 40) << ", agent " << oneLine(d["orbletVersion"], 40)
            << ", logins " << d["logins"] << ", check-ins " << d["checkins"]
            << ", still queued " << d["queued"] << "\n";
        // Runs of the same command are shown once with their count.
        std::string handed;
        std::string last;
        int run = 0;
        auto flush = [&]() {
            if (run == 0) return;
            handed += (handed.empty() ? "" : ", ") + last + (run > 1 ? " x" + std::to_string(run) : "");
        };
        for (const auto& i : d["issued"]) {
            const std::string name = i.value("name", "");
            if (name == last) {
                ++run;
                continue;
            }
            flush();
            last = name;
            run = 1;
        }
        flush();
        out << "  commands sent: " << (handed.empty() ? "none" : handed) << "\n";
        out << "  completion reports:" << (d["reports"].empty() ? " none" : "") << "\n";
        for (const auto& r : d["reports"]) {
            const std::string command = r.value("command", "");
            out << "    " << command << std::string(command.size() < 18 ? 18 - command.size() : 1, ' ')
                << (r.value("success", false) ? "success" : "FAILED ");
            const std::string message = r.value("message", "");
            if (!message.empty()) out << "  \"" << oneLine(message, 100) << "\"";
            out << "\n";
        }
        out << "  uploads:" << (d["uploads"].empty() ? " none" : "") << "\n";
        for (const auto& u : d["uploads"]) {
            out << "    #" << u.value("index", 0L) << " " << u.value("endpoint", "") << "  "
                << u.value("fileName", "") << ", " << u.value("size", 0L) << " bytes, stored as "
                << u.value("storedAs", "") << "\n";
        }
    }
    return out.str();
}

void installAdminApi(httplib::Server& server, ServerContext& ctx) {
    auto admin = [&ctx](const httplib::Request& req, httplib::Response& res) { handleAdminRequest(ctx, req, res); };
    const std::string pattern = "/admin(/.*)?";
    server.Get(pattern, admin);
    server.Post(pattern, admin);
    server.Put(pattern, admin);
    server.Patch(pattern, admin);
    server.Delete(pattern, admin);
    server.Options(pattern, admin);
}

}  // namespace kivsim
