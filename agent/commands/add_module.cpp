#include "commands/add_module.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "core/debug_log.h"
#include "core/paths.h"
#include "core/shell.h"

std::string install_name;

namespace {

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};

bool isDirectoryEntry(const std::string& dir, const dirent* entry) {
    if (entry->d_type == DT_DIR) return true;
    if (entry->d_type != DT_UNKNOWN) return false;
    // Some file systems do not fill in the type; ask the inode, without
    // following a link, as a link is never a module.
    struct stat st {};
    return ::lstat((dir + "/" + entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool isModuleName(const std::string& name) {
    if (name.empty() || name.size() > 24) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::optional<std::vector<DirectoryEntry>> listDirectory(const std::string& path) {
    std::unique_ptr<DIR, DirClose> dir(opendir(path.c_str()));
    if (!dir) return std::nullopt;
    std::vector<DirectoryEntry> entries;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        // The agent's own directory is never a user module: deploying or
        // removing it would run its init script's "stop" from inside the
        // agent, ending the agent and its watchdog until the next boot.
        entries.push_back({name, isModuleName(name) && name != MODULE_NAME && isDirectoryEntry(path, entry)});
    }
    return entries;
}

std::string shellWord(const std::string& word) {
    if (word.empty()) return shellQuote(word);
    for (const char c : word) {
        const bool literal = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                             c == '.' || c == '_' || c == '-';
        if (!literal) return shellQuote(word);
    }
    return word;
}

int runInForeground(const std::string& command) {
    const ChildSignalGuard guard;
    return std::system(command.c_str());
}

int add_module(const std::string& name) {
    debugLog("In add_module : ");
    // Names reach the shell below; only module names are deployed.
    if (!isModuleName(name)) {
        debugLog("FAILED TO INSTALL : " + name);
        return 0;
    }
    const std::string dir = "/opt/" + name;
    const std::string settings = dir + "/etc/settings";
    // The doubled "/" of TEMP_DIR + "/settings." is harmless and is the same
    // path when saving and restoring.
    const std::string kept = TEMP_DIR + "/settings." + name;
    const bool update = fileExists(dir);
    if (update) {
        runShellCommand(shellWord(dir + "/etc/init") + " stop");
        runShellCommand("cp " + shellWord(settings) + " " + shellWord(kept));
        runShellCommand("rm -rf " + shellWord(dir));
        debugLog("Updating: " + name);
    } else {
        debugLog("First installation: " + name);
    }

    // -d keeps the package's symbolic links as links.
    runShellCommand("cp -rdf " + shellWord(TEMP_DIR + "module" + "/" + name) + " /opt/");
    if (!fileExists(dir)) {
        debugLog("FAILED TO INSTALL : " + name);
        return 0;
    }

    runShellCommand("chmod -R 755 " + shellWord(dir));
    runShellCommand("rm -rf " + shellWord("/var/www/" + name));
    runShellCommand("ln -s " + shellWord(dir + "/www") + " " + shellWord("/var/www/" + name));
    runShellCommand(shellWord(dir + "/etc/install"));
    runShellCommand(shellWord(dir + "/etc/init") + " defaults");
    if (update) {
        // The kept settings win over the ones the new package brought, once
        // the install script and the defaults have run.
        runShellCommand("cp " + shellWord(kept) + " " + shellWord(settings));
        runShellCommand("rm " + shellWord(kept));
    }
    runInForeground(shellWord(dir + "/etc/init") + " start");

    const std::string registry = APPLICATIONS_DIR + install_name + "/optdirs/";
    debugLog("optdirs path  : " + registry);
    if (!fileExists(registry)) runShellCommand("mkdir -p " + shellWord(registry));
    const std::string entry = registry + name + "/";
    debugLog("module path  : " + entry);
    if (!fileExists(entry)) runShellCommand("mkdir -p " + shellWord(entry));
    return 1;
}
