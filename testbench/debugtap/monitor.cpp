// monitor.cpp - a program's debug output decoded from Wine's trace of it.
#include "monitor.h"

#include <string.h>

#include <vector>

namespace bench {
namespace {

const char kMarker[] = ":warn:seh:dispatch_exception \"";
const char kWideEcho[] = ":warn:seh:OutputDebugStringA \"";

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseTracedCall(const std::string &line, std::string *text)
{
    size_t marker = line.find(kMarker);
    // "tid" (four or more hex digits), or "pid:tid" with +pid.
    if (marker == std::string::npos || marker < 4 || marker > 20)
        return false;
    text->clear();
    size_t i = marker + sizeof(kMarker) - 1;
    for (; i < line.size() && line[i] != '"'; i++) {
        char c = line[i];
        if (c != '\\' || i + 1 >= line.size()) {
            *text += c;
            continue;
        }
        char escaped = line[++i];
        switch (escaped) {
        case 'n': *text += '\n'; break;
        case 'r': *text += '\r'; break;
        case 't': *text += '\t'; break;
        case 'x':
            if (i + 2 < line.size() && HexDigit(line[i + 1]) >= 0 && HexDigit(line[i + 2]) >= 0) {
                *text += (char)(HexDigit(line[i + 1]) * 16 + HexDigit(line[i + 2]));
                i += 2;
            } else {
                *text += 'x';
            }
            break;
        default: *text += escaped; break;   // \" and \\ and anything else
        }
    }
    if (i >= line.size())
        return false;   // no closing quote: not one of ours
    if (line.compare(i + 1, 3, "...") == 0)
        *text += "...";
    return true;
}

void DecodeTrace(HANDLE input, const TextSink &calls, const TextSink &otherLines)
{
    std::string pending, text, decoded;
    std::vector<char> buffer(1 << 16);
    DWORD got = 0;
    while (ReadFile(input, buffer.data(), (DWORD)buffer.size(), &got, nullptr) && got > 0) {
        pending.append(buffer.data(), got);
        size_t start = 0;
        // What one read brings goes out in one piece: the order of the
        // calls is kept, and a write is made per read, not per call.
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = pending.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (ParseTracedCall(line, &text)) {
                decoded += text;
            } else if (line.find(kWideEcho) != std::string::npos) {
                // OutputDebugStringW traces its text once more on its way
                // to the narrow call; the dispatcher's line is the one kept.
            } else {
                if (!decoded.empty()) {
                    calls(decoded.data(), decoded.size());
                    decoded.clear();
                }
                line += '\n';
                otherLines(line.data(), line.size());
            }
        }
        if (!decoded.empty()) {
            calls(decoded.data(), decoded.size());
            decoded.clear();
        }
        pending.erase(0, start);
    }
    if (!pending.empty())
        otherLines(pending.data(), pending.size());
}

}  // namespace bench
