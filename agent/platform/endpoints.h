// The platform's endpoints, all below connType://host:port/api/devices/.
// This is the one place that names them.
#pragma once

namespace endpoint {
inline constexpr const char* BASE_PATH = "/api/devices/";
inline constexpr const char* LOGIN = "login";
inline constexpr const char* REGISTER = "register";
inline constexpr const char* CHECKIN = "checkin";
inline constexpr const char* COMMAND_COMPLETED = "commandcompleted";
inline constexpr const char* COMMAND = "command";
inline constexpr const char* CHANGE_PASSWORD = "changepassword";
inline constexpr const char* SET_CONFIG = "setconfig";
inline constexpr const char* UPLOAD_CONFIG = "uploadconfig";
inline constexpr const char* SYSTEM_LOG = "systemlog";
inline constexpr const char* GET_SETTINGS_FILE = "getsettingsfile";
inline constexpr const char* GET_NEW_APP_PACKAGE = "getnewapppackage";
inline constexpr const char* GET_UNINSTALL_APP = "getuninstallapp";
inline constexpr const char* GET_ORBLET_PACKAGE = "getorbletpackage";
}  // namespace endpoint
