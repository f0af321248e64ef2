#include "status_source.h"

#include <stdexcept>

const char* const STATUS_SCRIPT = "/opt/kivclient/scripts/status.sh";

ProcessResult runStatusQuery(const std::string& word) { return runProcess(STATUS_SCRIPT, {word}); }

namespace {

// Deepest nesting of arrays and objects outside strings; the text need not
// be valid JSON, the parser judges that afterwards.
int nestingDepth(const std::string& text) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) deepest = depth;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

nlohmann::json parseAnswer(const std::string& text) {
    if (nestingDepth(text) > MAX_ANSWER_DEPTH) {
        throw std::runtime_error("status answer nested deeper than " + std::to_string(MAX_ANSWER_DEPTH) + " levels");
    }
    return nlohmann::json::parse(text);
}

nlohmann::json copyField(const nlohmann::json& answer, const char* displayName) {
    if (answer.is_object()) {
        const auto it = answer.find(displayName);
        if (it != answer.end()) return *it;
    }
    return "N/A";
}

const nlohmann::json* testedMember(const nlohmann::json& answer, const char* displayName) {
    if (answer.is_null()) return nullptr;
    if (!answer.is_object()) (void)answer.at(displayName);  // throws the library's type error
    const auto it = answer.find(displayName);
    return it == answer.end() ? nullptr : &*it;
}

std::string jsonText(const nlohmann::json& value, bool pretty) {
    return value.dump(pretty ? 4 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string errorObject(const std::string& message) {
    return "{\"msg\":" + jsonText(nlohmann::json(message), false) + "}";
}

std::vector<std::string> splitString(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto end = text.find(delimiter, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}
