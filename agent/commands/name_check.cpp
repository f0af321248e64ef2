#include "commands/name_check.h"

bool isSafeName(const std::string& name, bool mayBeEmpty) {
    if (name.empty()) return mayBeEmpty;
    if (name == "." || name == "..") return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}
