// Splits recorded text (a fake tool's call log, a debug trace) into lines.
#pragma once

#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}
