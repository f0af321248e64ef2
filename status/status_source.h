// The router's status script and the rules every status area shares for
// reading its answers.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <vector>

#include "process_runner.h"

// Answers one query word (passed as a single argument, also "lan 1") with
// one JSON object whose members carry display names such as "IP Address".
extern const char* const STATUS_SCRIPT;

// Runs the status script with `word`; status 0 means the query succeeded.
ProcessResult runStatusQuery(const std::string& word);

// Deeper answers are refused: copying or printing them would recurse past
// the stack. The script's answers are flat objects.
constexpr int MAX_ANSWER_DEPTH = 256;

// Parses a query's output. Not JSON: the JSON library's parse error.
nlohmann::json parseAnswer(const std::string& text);

// The value of `displayName` with its JSON type when `answer` is an object
// that has it, the string "N/A" otherwise.
nlohmann::json copyField(const nlohmann::json& answer, const char* displayName);

// One output member and the display name it is copied from.
struct FieldName {
    const char* member;
    const char* displayName;
};

// Applies copyField to every entry of a field table.
template <std::size_t N>
void copyFields(nlohmann::json& into, const nlohmann::json& answer, const FieldName (&fields)[N]) {
    for (const FieldName& f : fields) into[f.member] = copyField(answer, f.displayName);
}

// For members whose value is tested rather than copied: an object or null
// answer gives the member (nullptr when it is missing); any other answer
// raises the JSON library's type error.
const nlohmann::json* testedMember(const nlohmann::json& answer, const char* displayName);

// Compact, or indented by 4. Bytes that are not UTF-8 (from the plain-text
// sources) are replaced, so the text is always valid JSON.
std::string jsonText(const nlohmann::json& value, bool pretty);

// {"msg":"..."} with the message JSON-escaped; byte-identical to the plain
// concatenation when the message needs no escaping.
std::string errorObject(const std::string& message);

// Splits the way a line reader reads lines ending in `delimiter`: an empty
// text gives no piece, a trailing delimiter adds no empty piece, two
// delimiters in a row give an empty piece, a leading one an empty first piece.
std::vector<std::string> splitString(const std::string& text, char delimiter);
