#include "core/shell.h"
#include "platform/cloud_services.h"

int CloudServices::downloadFile(const std::string& url, const std::string& destination) {
    // A URL that arrives as a JSON string answer still has its double quotes;
    // the shell used to eat them, so they are taken off here.
    std::string bare = url;
    if (bare.size() >= 2 && bare.front() == '"' && bare.back() == '"') bare = bare.substr(1, bare.size() - 2);
    // curl refuses a URL with a blank in it; the blank can only mean %20.
    std::string target;
    for (const char c : bare) {
        if (c == ' ') {
            target += "%20";
        } else {
            target += c;
        }
    }
    // Both go to the shell as single quoted words: a URL's "&" or ";" must
    // reach curl, not start another command.
    return runShellCommand("curl -k -1 -o " + shellQuote(destination) + " " + shellQuote(target));
}
