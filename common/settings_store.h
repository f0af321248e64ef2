// Key-value settings files of the router: lines "MOD_<MODULE>_<KEY>=value".
#pragma once

#include <map>
#include <string>

class SettingsStore {
public:
    // Reads `path` at once; a missing or unreadable file gives an empty store.
    SettingsStore(const std::string& path, const std::string& module);

    // Value with one enclosing pair of double quotes removed.
    // Throws std::runtime_error "Map key '<key>' not found".
    std::string get(const std::string& key) const;
    bool has(const std::string& key) const;
    // Stores the value in quotes when it holds a blank; memory only.
    void set(const std::string& key, const std::string& value);

    std::string serialize() const;
    // Replaces the file atomically (temporary file, fsync, rename), so a power
    // cut leaves either the old or the new content. Failures are silent and
    // leave the old file untouched.
    void save() const;

    const std::string& path() const { return path_; }

private:
    // Byte-wise (unsigned) ordering of keys.
    struct ByteLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    std::string path_;
    std::string module_;
    std::map<std::string, std::string, ByteLess> entries_;
};
