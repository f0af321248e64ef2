// Settings files delivered by the platform as base64 text.
#pragma once

#include <string>

// Base64-decodes `content` (one line, standard alphabet) and writes the bytes,
// whatever their values, to `path`, replacing the file. Text that is not
// base64 yields what the decoder makes of it, possibly nothing. Returns false
// when the file could not be written.
bool saveDecodedFile(const std::string& content, const std::string& path);
