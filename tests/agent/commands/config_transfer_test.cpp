// Decoding of delivered settings files and the reports of the log upload.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>

#include "unit/base64.h"
#include "../../common/temp_dir.h"
#include "commands/command_table.h"
#include "commands/download_settings.h"
#include "unit/fake_client.h"

namespace {

TEST(SaveDecodedFile, WritesEveryByteValueUnchanged) {
    std::string bytes;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    }
    TempDir dir;
    // An older, longer file of the same name is replaced, not overwritten in part.
    dir.write("lan.eth", std::string(5000, 'x'));
    ASSERT_TRUE(saveDecodedFile(base64(bytes), dir.file("lan.eth")));
    EXPECT_EQ(dir.read("lan.eth"), bytes);
}

TEST(SaveDecodedFile, DecodesPaddedTextOfEverySize) {
    for (const std::string text : {"", "a", "ab", "abc", "abcd", "line one\nline two\n"}) {
        TempDir dir;
        ASSERT_TRUE(saveDecodedFile(base64(text), dir.file("f")));
        EXPECT_EQ(dir.read("f"), text);
    }
}

TEST(SaveDecodedFile, StoresWhatTheDecoderMakesOfBadInputAndReportsUnwritablePaths) {
    TempDir dir;
    EXPECT_TRUE(saveDecodedFile("*** not base64 ***", dir.file("bad")));
    EXPECT_TRUE(std::ifstream(dir.file("bad")).good());
    EXPECT_FALSE(saveDecodedFile(base64("x"), dir.file("no-such-dir/f")));
}

// A transport that reports a failed upload by its result.
class UploadResult : public FakeClient {
public:
    explicit UploadResult(int rc) : rc_(rc) {}
    int uploadFile(const std::string& localFile, const std::string& path) override {
        FakeClient::uploadFile(localFile, path);
        return rc_;
    }

private:
    int rc_;
};

TEST(UploadSystemLog, SendsTheLogAndReportsTheUploadsResult) {
    const struct {
        int rc;
        std::string report;
    } cases[] = {
        {0, "commandcompleted?deviceuuid=U-1&token=T-1&command=systemlog&issuccess=true&errormessage="},
        {7, "commandcompleted?deviceuuid=U-1&token=T-1&command=systemlog&issuccess=false&errormessage="
            "File%20Upload%20Failed"},
    };
    for (const auto& c : cases) {
        Aggregator aggregator;
        aggregator.uuid = "U-1";
        aggregator.token = "T-1";
        UploadResult client(c.rc);
        client.setDefaultReply("\"OK\"");
        std::unique_ptr<Response>(declareUploadSystemLog(&aggregator, &client))->execute();
        ASSERT_EQ(client.uploads.size(), 1u);
        EXPECT_EQ(client.uploads[0].first, "/var/log/messages");
        EXPECT_EQ(client.uploads[0].second, "systemlog?deviceuuid=U-1&token=T-1");
        EXPECT_EQ(client.requests, std::vector<std::string>{c.report});
    }
}

}  // namespace
