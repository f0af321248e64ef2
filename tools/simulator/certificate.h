// A self-signed certificate for the HTTPS server when none is given.
#pragma once

#include <string>

namespace kivsim {

// Writes a new key (EC P-256) and a self-signed certificate for
// "localhost" and 127.0.0.1, valid for ten years, as PEM files.
// Throws std::runtime_error when OpenSSL or the files fail.
void writeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile);

}  // namespace kivsim
