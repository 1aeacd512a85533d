// linecheck.h - comparing a program's debug lines with what it should log.
//
// The reply listener logs from its own thread while the transaction thread
// logs its steps, so the two kinds of line interleave as timing has it. Tests
// compare each thread's lines in order, with poll counts, which vary with
// timing, checked apart.
#pragma once

#include <regex>
#include <string>
#include <vector>

namespace bench {

// The listener's own lines: "UBX MSG: ..." and the ACK/NAK lines.
inline bool IsListenerLine(const std::string &line)
{
    return line.rfind("UBX MSG: ", 0) == 0 || line.rfind("     ACK of ", 0) == 0 ||
           line.rfind("     NAK of ", 0) == 0;
}

struct SplitLines {
    std::vector<std::string> steps;      // the transaction thread's lines, counts as "#"
    std::vector<std::string> listener;   // the listener's lines
    std::vector<int> counts;             // the poll counts, in order
};

// Single characters (echoed NMEA text) are dropped.
inline SplitLines SplitByThread(const std::vector<std::string> &lines)
{
    static const std::regex count("(.*Count = )(-?[0-9]+)\r\n");
    SplitLines split;
    for (const std::string &line : lines) {
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0)
            continue;
        std::smatch match;
        if (IsListenerLine(line)) {
            split.listener.push_back(line);
        } else if (std::regex_match(line, match, count)) {
            split.steps.push_back(match[1].str() + "#\r\n");
            split.counts.push_back(std::stoi(match[2].str()));
        } else {
            split.steps.push_back(line);
        }
    }
    return split;
}

}  // namespace bench
