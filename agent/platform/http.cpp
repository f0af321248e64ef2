// The form API is the one multipart interface every libcurl on the routers
// offers; newer headers only mark it deprecated.
#define CURL_DISABLE_DEPRECATION 1

#include "platform/http.h"

#include <curl/curl.h>

#include <cstdio>
#include <limits>
#include <stdexcept>

#include "core/debug_log.h"
#include "core/exceptions.h"
#include "platform/endpoints.h"

namespace {

struct FormDeleter {
    void operator()(curl_httppost* form) const { curl_formfree(form); }
};
using Form = std::unique_ptr<curl_httppost, FormDeleter>;

// Collects the answer body. Must not let an exception into libcurl: a failed
// append ends the transfer with a write error instead.
size_t appendBody(char* data, size_t size, size_t count, void* target) {
    const size_t bytes = size * count;
    try {
        static_cast<std::string*>(target)->append(data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

[[noreturn]] void transportFailure(const std::string& what, CURLcode code) {
    const std::string text = curl_easy_strerror(code);
    debugLog("curl_easy_perform() " + what + " failed : " + text);
    throw MyExceptionTCP(text);
}

}  // namespace

void HTTP::HandleDeleter::operator()(CURL* handle) const { curl_easy_cleanup(handle); }

HTTP::HTTP(std::string host, std::string port, std::string connType)
    : Client(std::move(host), std::move(port), std::move(connType)) {}

HTTP::~HTTP() = default;

std::string HTTP::url(const std::string& path) const {
    return connType + "://" + host + ":" + port + endpoint::BASE_PATH + path;
}

void HTTP::setTls(CURL* handle) const {
    if (caFile_.empty()) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    } else {
        curl_easy_setopt(handle, CURLOPT_CAINFO, caFile_.c_str());
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    }
}

void HTTP::setTimeout(const std::string& text) {
    // std::stol alone would accept 64-bit values on 64-bit builds; the
    // router's long is 32 bits, and the limit must mean the same everywhere.
    const long value = std::stol(text);
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
        throw std::out_of_range("stol");
    }
    timeout = static_cast<int32_t>(value);
}

void HTTP::init() {
    // Release the old handle first: its connections close, and the next
    // request opens a new one.
    handle_.reset();
    handle_.reset(curl_easy_init());
    CURL* h = handle_.get();
    setTls(h);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    std::printf("timeout = %ld\n", static_cast<long>(timeout));
    std::fflush(stdout);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout));
}

void HTTP::cleanup() { handle_.reset(); }

std::string HTTP::getRequest(const std::string& path) {
    std::string body;
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    const std::string target = url(path);
    debugLog("Request: " + target);
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    const CURLcode rc = curl_easy_perform(h);
    // The handle keeps the address of `body` until the next call sets it
    // again; clear it so that nothing can write to a dead string.
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    if (rc != CURLE_OK) transportFailure("getRequest()", rc);

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        const std::string text = "return code : " + std::to_string(status);
        debugLog(text);
        throw MyExceptionTCP(text);
    }
    debugLog("Response : " + body);
    return body;
}

int HTTP::uploadFile(const std::string& localFile, const std::string& path) {
    curl_httppost* first = nullptr;
    curl_httppost* last = nullptr;
    // CURLFORM_FILE gives the part the file's base name as its file name.
    curl_formadd(&first, &last, CURLFORM_COPYNAME, "file", CURLFORM_FILE, localFile.c_str(), CURLFORM_CONTENTTYPE,
                 "application/octet-stream", CURLFORM_END);
    const Form form(first);

    // A handle of its own, so the POST's options never reach later GETs.
    const Handle upload(curl_easy_init());
    CURL* h = upload.get();
    const std::string target = url(path);
    debugLog("Upload URL: " + target);
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPPOST, form.get());
    setTls(h);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) transportFailure("uploadFile()", rc);
    debugLog("Upload Success");
    return 0;
}
