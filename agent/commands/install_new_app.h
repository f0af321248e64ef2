// What the firmware update tool's end means for the platform.
#pragma once

#include <string>

struct FirmwareVerdict {
    bool success;
    std::string message;  // already percent-encoded
};

// From the raw wait status of the shell that ran the tool (-1 when it could
// not be waited for).
FirmwareVerdict firmwareVerdict(int waitStatus);
