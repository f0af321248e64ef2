// Names from the platform that become paths or shell words.
#pragma once

#include <string>

// ASCII letters, digits, ".", "_" and "-" only; never "." or "..".
// An empty name passes only when `mayBeEmpty`.
bool isSafeName(const std::string& name, bool mayBeEmpty = false);
