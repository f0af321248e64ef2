// The transport against a real HTTP and HTTPS server in this process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "../../common/temp_dir.h"
#include "core/exceptions.h"
#include "platform/http.h"
#include "platform/test_platform.h"

using testplatform::Reply;
using testplatform::TestPlatform;

namespace {

std::string tcpError(const std::function<void()>& call) {
    try {
        call();
    } catch (const MyExceptionTCP& e) {
        return e.what();
    }
    return "(no MyExceptionTCP)";
}

int closedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

class Transport : public ::testing::Test {
public:
    HTTP& connect(TestPlatform& platform, const std::string& connType = "http", const std::string& timeout = "5",
                  const std::string& host = "127.0.0.1") {
        http.reset(new HTTP(host, std::to_string(platform.port()), connType));
        http->setTimeout(timeout);
        return *http;
    }
    TestPlatform& serve(const std::string& cert = "", const std::string& key = "") {
        platform.reset(new TestPlatform(cert, key));
        return *platform;
    }
    TempDir dir;
    // Declared before the transport: the server's stop waits for open
    // keep-alive connections, so the transport closes them first.
    std::unique_ptr<TestPlatform> platform;
    std::unique_ptr<HTTP> http;
};

TEST_F(Transport, OnlyStatus200ReturnsTheBody) {
    TestPlatform& platform = serve();
    platform.answer("ok", {{200, ""}, {200, "{\"a\":1}"}});
    platform.answer("nocontent", {{204, ""}});
    platform.answer("moved", {{302, "elsewhere"}});
    platform.answer("broken", {{500, "{\"error\":1}"}});
    HTTP& t = connect(platform);
    t.init();
    EXPECT_EQ(t.getRequest("ok?x=1"), "");
    EXPECT_EQ(t.getRequest("ok?x=2"), "{\"a\":1}");
    EXPECT_EQ(t.getRequest("ok?x=3"), "{\"a\":1}");  // its own body only
    EXPECT_EQ(tcpError([&] { t.getRequest("nocontent"); }), "return code : 204");
    EXPECT_EQ(tcpError([&] { t.getRequest("moved"); }), "return code : 302");
    EXPECT_EQ(tcpError([&] { t.getRequest("broken"); }), "return code : 500");
    EXPECT_EQ(tcpError([&] { t.getRequest("nohandler"); }), "return code : 404");
    // The query reaches the server exactly as given.
    EXPECT_EQ(platform.requests("ok")[0].target, "/api/devices/ok?x=1");
}

TEST_F(Transport, GetsShareOneConnectionUntilTheNextInit) {
    TestPlatform& platform = serve();
    platform.answer("checkin", {{200, "\"NoActivity\""}});
    HTTP& t = connect(platform);
    t.init();
    for (int i = 0; i < 3; ++i) t.getRequest("checkin");
    t.init();
    t.getRequest("checkin");
    t.getRequest("checkin");
    const auto r = platform.requests("checkin");
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].remotePort, r[1].remotePort);
    EXPECT_EQ(r[1].remotePort, r[2].remotePort);
    EXPECT_NE(r[2].remotePort, r[3].remotePort);
    EXPECT_EQ(r[3].remotePort, r[4].remotePort);
}

TEST_F(Transport, TransportFailuresCarryLibcurlsText) {
    TestPlatform& platform = serve();
    platform.on("slow", [](const testplatform::Request&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        return Reply{200, "\"late\""};
    });
    HTTP& t = connect(platform, "http", "1");
    t.init();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tcpError([&] { t.getRequest("slow"); }), "Timeout was reached");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2400));

    HTTP closed("127.0.0.1", std::to_string(closedPort()), "http");
    closed.setTimeout("5");
    closed.init();
    EXPECT_EQ(tcpError([&] { closed.getRequest("checkin"); }), "Couldn't connect to server");
    EXPECT_EQ(tcpError([&] { closed.uploadFile(dir.write("f", "x"), "systemlog"); }), "Couldn't connect to server");
}

TEST_F(Transport, UploadIsOneMultipartPartAndAnyStatusCounts) {
    TestPlatform& platform = serve();
    platform.answer("systemlog", {{500, "{}"}});
    platform.answer("uploadconfig", {{200, "{}"}});
    HTTP& t = connect(platform);
    // Works without init: the upload has its own handle.
    const std::string file = dir.write("messages", std::string("line 1\nline 2\n\0binary", 21));
    testing::internal::CaptureStdout();  // the answer body goes to standard output
    EXPECT_EQ(t.uploadFile(file, "systemlog?deviceuuid=u&token=t"), 0);
    EXPECT_EQ(t.uploadFile(file, "uploadconfig?deviceuuid=u&token=t"), 0);
    testing::internal::GetCapturedStdout();
    const auto r = platform.requests("systemlog");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "POST");
    EXPECT_EQ(r[0].query, "deviceuuid=u&token=t");
    EXPECT_EQ(r[0].uploadName, "file");
    EXPECT_EQ(r[0].uploadFileName, "messages");
    EXPECT_EQ(r[0].uploadContentType, "application/octet-stream");
    EXPECT_EQ(r[0].uploadContent, std::string("line 1\nline 2\n\0binary", 21));

    EXPECT_NE(tcpError([&] { t.uploadFile(dir.file("missing"), "systemlog"); }), "(no MyExceptionTCP)");
}

TEST_F(Transport, HttpsAcceptsAnyCertificateWithoutCaFileAndVerifiesWithOne) {
    const auto [cert, key] = testplatform::makeSelfSignedCertificate(dir.path());
    ASSERT_FALSE(cert.empty());
    TempDir other;
    const auto otherCa = testplatform::makeSelfSignedCertificate(other.path()).first;
    TestPlatform& platform = serve(cert, key);
    platform.answer("login", {{200, "{\"ResponseMessage\":\"Success\"}"}});
    platform.answer("systemlog", {{200, "{}"}});
    const std::string file = dir.write("config.txt", "cfg");

    HTTP& t = connect(platform, "https");
    t.init();
    EXPECT_EQ(t.getRequest("login"), "{\"ResponseMessage\":\"Success\"}");
    testing::internal::CaptureStdout();
    EXPECT_EQ(t.uploadFile(file, "systemlog"), 0);
    testing::internal::GetCapturedStdout();

    for (const std::string host : {"127.0.0.1", "localhost"}) {
        HTTP& v = connect(platform, "https", "5", host);
        v.setCaFile(cert);
        v.init();
        EXPECT_EQ(v.getRequest("login"), "{\"ResponseMessage\":\"Success\"}") << host;
    }

    HTTP& wrong = connect(platform, "https");
    wrong.setCaFile(otherCa);
    wrong.init();
    const std::string error = tcpError([&] { wrong.getRequest("login"); });
    EXPECT_NE(error, "(no MyExceptionTCP)");
    EXPECT_NE(tcpError([&] { wrong.uploadFile(file, "systemlog"); }), "(no MyExceptionTCP)");
    EXPECT_EQ(platform.requests("systemlog").size(), 1u);  // only the unverified upload arrived
}

}  // namespace
