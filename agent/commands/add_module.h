// User modules on the router: the rule for module directory names, the
// deployment of one unpacked module, and the installation registry.
//
//   /opt/<N>                      the module (its presence means installed)
//   /opt/<N>/etc/{init,install,uninstall,settings}
//   /var/www/<N> -> /opt/<N>/www  its web pages
//   /opt/kivclient/applications/<installation>/optdirs/<N>/
//                                 installation <installation> deployed <N>
#pragma once

#include <optional>
#include <string>
#include <vector>

// The installation that the modules being deployed belong to; set by the
// package installation before it deploys anything.
extern std::string install_name;

// Where installations record their modules.
inline const std::string APPLICATIONS_DIR = "/opt/kivclient/applications/";

// At most 24 characters, each an ASCII letter, a digit or "_".
bool isModuleName(const std::string& name);

struct DirectoryEntry {
    std::string name;
    bool isModule;  // a directory whose name passes isModuleName, other than the agent's own
};
// The entries of `path` in listing order ("." and ".." included, never
// modules); nothing when the directory cannot be opened.
std::optional<std::vector<DirectoryEntry>> listDirectory(const std::string& path);

// Deploys the staged tree TEMP_DIR + "module/" + name into /opt/<name>,
// keeping the settings file of an installed module. Returns 1 when the module
// directory exists after the copy, 0 when the copy did not produce it.
int add_module(const std::string& name);

// `word` for /bin/sh: unchanged when every character is one the shell takes
// literally (letters, digits, "/", ".", "_", "-"), single-quoted otherwise.
std::string shellWord(const std::string& word);

// std::system() with SIGCHLD at its default, so that the shell can be waited
// for; returns what system() returns.
int runInForeground(const std::string& command);
