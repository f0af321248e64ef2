#include "platform/cloud_services.h"

#include <json-c/json.h>

#include <memory>

#include "core/debug_log.h"
#include "core/exceptions.h"

namespace {

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

JsonPtr parseOrThrow(const std::string& text, const char* accessor) {
    JsonPtr root(json_tokener_parse(text.c_str()));
    if (!root) {
        debugLog(std::string("Other Exception: From ") + accessor + " - json_tokener_parse");
        throw MyException("Bad JSON format of response");
    }
    return root;
}

// The member `key` of an object root with at least one member, or null.
json_object* member(json_object* root, const std::string& key) {
    if (!json_object_is_type(root, json_type_object) || json_object_object_length(root) == 0) return nullptr;
    json_object* value = nullptr;
    if (!json_object_object_get_ex(root, key.c_str(), &value)) return nullptr;
    return value;
}

}  // namespace

std::string CloudServices::getJSONStringValue(const std::string& key) {
    const JsonPtr root = parseOrThrow(response, "getJSONStringValue");
    json_object* value = member(root.get(), key);
    if (value == nullptr || !json_object_is_type(value, json_type_string)) return std::string();
    return std::string(json_object_get_string(value), static_cast<size_t>(json_object_get_string_len(value)));
}

std::vector<std::string> CloudServices::getJSONArrayStringValue(const std::string& key) {
    const JsonPtr root = parseOrThrow(response, "getJSONArrayStringValue");
    std::vector<std::string> out;
    json_object* array = member(root.get(), key);
    if (array == nullptr || !json_object_is_type(array, json_type_array)) return out;
    const size_t n = json_object_array_length(array);
    for (size_t i = 0; i < n; ++i) {
        json_object* element = json_object_array_get_idx(array, i);
        if (json_object_is_type(element, json_type_string)) {
            out.emplace_back(json_object_get_string(element), static_cast<size_t>(json_object_get_string_len(element)));
        } else {
            // A null element prints as "null", like any other non-string.
            out.emplace_back(json_object_to_json_string(element));
        }
    }
    return out;
}

std::string CloudServices::unquotedResponse() { return response.substr(1, response.size() - 2); }
