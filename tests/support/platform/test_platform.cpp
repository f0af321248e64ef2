#include "platform/test_platform.h"

#include <httplib.h>

#include <thread>

namespace testplatform {

struct TestPlatform::Impl {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    mutable std::mutex mutex;
    std::map<std::string, Handler> handlers;
    std::map<std::string, std::string> files;
    std::vector<Request> log;
};

TestPlatform::TestPlatform(const std::string& certFile, const std::string& keyFile) : impl_(new Impl) {
    if (!certFile.empty()) {
        impl_->server = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
    } else {
        impl_->server = std::make_unique<httplib::Server>();
    }
    auto& srv = *impl_->server;
    Impl* impl = impl_.get();
    auto handle = [impl](const httplib::Request& req, httplib::Response& res) {
        Request r;
        r.method = req.method;
        r.target = req.target;
        const auto q = req.target.find('?');
        r.query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
        const std::string prefix = "/api/devices/";
        r.endpoint = req.path.rfind(prefix, 0) == 0 ? req.path.substr(prefix.size()) : req.path;
        for (const auto& [k, v] : req.params) r.params[k] = v;
        r.remotePort = req.remote_port;
        if (req.is_multipart_form_data() && !req.files.empty()) {
            const auto& f = req.files.begin()->second;
            r.uploadName = f.name;
            r.uploadFileName = f.filename;
            r.uploadContentType = f.content_type;
            r.uploadContent = f.content;
        }
        Handler h;
        {
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->log.push_back(r);
            auto it = impl->handlers.find(r.endpoint);
            if (it != impl->handlers.end()) h = it->second;
        }
        Reply reply = h ? h(r) : Reply{404, "{\"error\":\"no handler\"}"};
        res.status = reply.status;
        res.set_content(reply.body, reply.contentType.c_str());
    };
    srv.Get("/api/devices/.*", handle);
    srv.Post("/api/devices/.*", handle);
    srv.Get("/files/(.*)", [impl](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        auto it = impl->files.find(req.matches[1]);
        if (it == impl->files.end()) {
            res.status = 404;
            res.set_content("not found", "text/plain");
            return;
        }
        res.set_content(it->second, "application/octet-stream");
    });
    port_ = srv.bind_to_any_port("127.0.0.1");
    impl_->thread = std::thread([impl] { impl->server->listen_after_bind(); });
    while (!srv.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestPlatform::~TestPlatform() {
    impl_->server->stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

void TestPlatform::on(const std::string& endpoint, Handler handler) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->handlers[endpoint] = std::move(handler);
}

void TestPlatform::answer(const std::string& endpoint, std::vector<Reply> replies) {
    auto shared = std::make_shared<std::vector<Reply>>(std::move(replies));
    auto next = std::make_shared<size_t>(0);
    on(endpoint, [shared, next](const Request&) {
        const Reply r = (*shared)[std::min(*next, shared->size() - 1)];
        ++*next;
        return r;
    });
}

void TestPlatform::serveFile(const std::string& name, const std::string& content) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->files[name] = content;
}

std::string TestPlatform::fileUrl(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/files/" + name;
}

std::vector<Request> TestPlatform::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->log;
}

std::vector<Request> TestPlatform::requests(const std::string& endpoint) const {
    std::vector<Request> out;
    for (const auto& r : requests()) {
        if (r.endpoint == endpoint) out.push_back(r);
    }
    return out;
}

std::pair<std::string, std::string> makeSelfSignedCertificate(const std::string& dir) {
    const std::string cert = dir + "/cert.pem";
    const std::string key = dir + "/key.pem";
    const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
                            "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
                            key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return {};
    return {cert, key};
}

}  // namespace testplatform
