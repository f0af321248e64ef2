// Fixed places of the agent on the router. Tests never change them: code
// that touches them is exercised inside the router sandbox.
#pragma once

#include <string>

inline const std::string MODULE_NAME = "kivclient";
inline const std::string KIVC_DIR = "/var/data/kivc";
inline const std::string MODULE_SETTINGS = "/opt/kivclient/etc/settings";
inline const std::string KIVCMANUF_FILE = "/var/data/kivc/settings.kivcManuf";
inline const std::string KIVCGEN_FILE = "/var/data/kivc/settings.kivcGen";
inline const std::string KIVCSYS_FILE = "/opt/kivclient/etc/settings.kivcsys";
inline const std::string TEMP_DIR = "/tmp/";
inline const std::string FIRMWARE_VERSION = "/etc/version";
inline const std::string VERSION = "/opt/kivclient/etc/version";
inline const std::string LOG_DIR = "/var/log/";
inline const std::string WATCHER_FILE = TEMP_DIR + "watcher";
inline const std::string DEBUG_DIR = "/tmp/kivc/";
inline const std::string DEBUG_SWITCH_FILE = DEBUG_DIR + "debugkivc";
inline const std::string DEBUG_OUTPUT_FILE = DEBUG_DIR + "kivc_debug_output";
