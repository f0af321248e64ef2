// The agent's trace: standard output with "-d", and the file
// DEBUG_OUTPUT_FILE while DEBUG_SWITCH_FILE exists.
#pragma once

#include <string>

extern bool debug_on;

// Never throws and never reports a file problem.
void debugLog(const std::string& message);

bool fileExists(const std::string& path);

// Percent-encodes every byte but ASCII letters, digits and ! ' ( ) * ~,
// with lower-case hex digits.
std::string encodeQueryValue(const std::string& text);
