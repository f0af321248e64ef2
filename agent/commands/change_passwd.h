// Setting a router account's password through the system's passwd program.
#pragma once

#include <chrono>
#include <string>

#include "commands/response.h"

inline const std::string PASSWD_PROGRAM = "/usr/bin/passwd";
// passwd may ask something the agent does not answer; the agent must not wait
// for it for ever.
inline constexpr std::chrono::milliseconds PASSWD_DIALOGUE_BOUND = std::chrono::seconds(60);

// Runs `program` with the one argument `account`, an empty environment and
// pipes on its standard input and output, and answers each "New password:"
// and "Retype password:" with the password and a newline. Returns passwd's
// exit code (0: changed); 1 when it could not be started; 128 + the signal
// when a signal ended it; -1 when it had not ended within `bound` and was
// killed and reaped.
int changePassword(const std::string& account, const std::string& password,
                   const std::string& program = PASSWD_PROGRAM,
                   std::chrono::milliseconds bound = PASSWD_DIALOGUE_BOUND);

// The command "ChangePassword". The program and the bound are parameters so
// that tests can play the dialogue against a scripted passwd quickly.
class ChangePasswd : public Response {
public:
    ChangePasswd(Aggregator* aggregator, Client* client, std::string program = PASSWD_PROGRAM,
                 std::chrono::milliseconds bound = PASSWD_DIALOGUE_BOUND)
        : Response(aggregator, client), program_(std::move(program)), bound_(bound) {}

    void execute() override;

private:
    std::string program_;
    std::chrono::milliseconds bound_;
};
