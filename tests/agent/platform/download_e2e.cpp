// downloadFile runs the real curl against the test platform's file server.
#include <gtest/gtest.h>

#include <cstdlib>

#include "../../common/temp_dir.h"
#include "platform/cloud_services.h"
#include "platform/test_platform.h"
#include "sandbox/sandbox.h"
#include "unit/fake_client.h"

namespace {

class Download : public ::testing::Test {
public:
    int download(const std::string& url, const std::string& destination) {
        return services.downloadFile(url, destination);
    }
    testplatform::TestPlatform platform;
    TempDir dir;
    Aggregator device;
    FakeClient client;
    CloudServices services {&device, &client};
};

TEST_F(Download, UrlsWithShellCharactersFetchWhatTheyNameAndRunNothingElse) {
    platform.serveFile("pkg.tar", "package bytes");
    platform.serveFile("pkg v2.tar", "second package");
    const std::string base = platform.fileUrl("pkg.tar");
    const std::string pwned = dir.file("pwned");
    const struct {
        std::string url;
        std::string content;
    } cases[] = {
        {base, "package bytes"},
        {"\"" + base + "\"", "package bytes"},  // as a JSON string answer gives it
        {base + "?a=1&b=2", "package bytes"},
        {base + "?a=1;touch " + pwned, "package bytes"},
        {base + "?h=$(touch " + pwned + ")&u=`touch " + pwned + "`&v=$HOME", "package bytes"},
        {base + "?q='quoted'", "package bytes"},
        {platform.fileUrl("pkg v2.tar") + "?x=a b", "second package"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string out = dir.file("it's here.bin");
        std::remove(out.c_str());
        EXPECT_EQ(download(c.url, out), 0);
        EXPECT_EQ(sandbox::readFile(out), c.content);
        EXPECT_FALSE(sandbox::exists(pwned));
    }
}

TEST_F(Download, StatusIsCurlsOwn) {
    // An HTTP error page is still a download as far as curl is concerned.
    EXPECT_EQ(download(platform.fileUrl("missing"), dir.file("page")), 0);
    EXPECT_EQ(sandbox::readFile(dir.file("page")), "not found");
    EXPECT_NE(download("http://127.0.0.1:1/x", dir.file("refused")), 0);
    EXPECT_NE(download(platform.fileUrl("missing"), dir.file("no/such/dir/file")), 0);

    const std::string path = std::getenv("PATH");
    ::setenv("PATH", dir.path().c_str(), 1);  // no curl there
    const int status = download(platform.fileUrl("missing"), dir.file("x"));
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(status, 127 << 8);
}

}  // namespace
