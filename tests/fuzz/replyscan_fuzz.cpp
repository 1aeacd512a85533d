// replyscan_fuzz.cpp - libFuzzer harness for the listener's frame scanner,
// built natively (clang, AddressSanitizer, UndefinedBehaviorSanitizer).
//
// The fuzzer's bytes are the receiver's line as noise. After them comes a
// quiet gap longer than any read's time-out, then NMEA text and a well-formed
// ACK-ACK for CFG-MSG. Whatever the noise, the scanner must:
// - never touch memory outside its 256-byte frame buffer (the sanitizers
//   watch; the ReplySource lives on the heap with nothing after the buffer);
// - find the ACK after the gap: the last frame it reports is that ACK;
// - echo the NMEA text after the gap exactly, one call per character, in the
//   setup program's mode, and echo nothing at all in the boot driver's.
#include "replyscan.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char kText[] = "$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76\r\n";
const BYTE kAck[] = { 0xB5, 0x62, 0x05, 0x01, 0x02, 0x00, 0x06, 0x01, 0x0F, 0x38 };

// The line as segments separated by quiet gaps. A read returns bytes of the
// current segment only: one that runs into a gap comes back short, as a
// port read does when its time-out expires; one that starts in a gap
// returns nothing and the line moves on to the next segment.
struct Line {
    std::vector<std::vector<BYTE>> segments;
    size_t segment = 0;
    size_t offset = 0;
    size_t echoedAtSegmentStart[4] = {};
};

std::string g_echo;
std::vector<std::string> g_lines;
Line *g_line;

DWORD ReadLine(void *context, BYTE *buffer, DWORD count)
{
    Line *line = static_cast<Line *>(context);
    if (line->segment >= line->segments.size())
        return 0;
    const std::vector<BYTE> &current = line->segments[line->segment];
    if (line->offset == current.size()) {
        line->segment++;
        line->offset = 0;
        if (line->segment < 4)
            line->echoedAtSegmentStart[line->segment] = g_echo.size();
        return 0;
    }
    DWORD n = (DWORD)std::min<size_t>(count, current.size() - line->offset);
    std::memcpy(buffer, current.data() + line->offset, n);
    line->offset += n;
    return n;
}

BOOL LineNotOver(void *context)
{
    Line *line = static_cast<Line *>(context);
    return line->segment < line->segments.size();
}

}  // namespace

// The scanner's debug output. "%c" is one echoed character; other formats
// are lines. glibc reads %s in a wide format as a narrow string, while the
// handheld reads it as a wide one: rewrite it before formatting.
void DebugPrint(const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    if (std::wcscmp(format, L"%c") == 0) {
        int c = va_arg(args, int);
        if (c < 0 || c > 255)
            std::abort();
        g_echo += (char)c;
    } else {
        std::wstring fixed;
        for (const WCHAR *p = format; *p; p++) {
            fixed += *p;
            if (p[0] == L'%' && p[1] == L's')
                fixed += L'l';
        }
        wchar_t wide[512];
        vswprintf(wide, 512, fixed.c_str(), args);
        std::string line;
        for (const wchar_t *p = wide; *p; p++)
            line += (char)*p;
        g_lines.push_back(line);
    }
    va_end(args);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (BOOL echo : { TRUE, FALSE }) {
        Line line;
        line.segments.push_back(std::vector<BYTE>(data, data + size));
        std::vector<BYTE> tail(kText, kText + sizeof(kText) - 1);
        tail.insert(tail.end(), kAck, kAck + sizeof(kAck));
        line.segments.push_back(tail);
        g_line = &line;
        g_echo.clear();
        g_lines.clear();

        // Exactly the struct's size: a write past the frame buffer is a
        // heap overflow the sanitizer reports.
        ReplySource *source = static_cast<ReplySource *>(std::malloc(sizeof(ReplySource)));
        source->read = ReadLine;
        source->keepGoing = LineNotOver;
        source->context = &line;
        source->echoText = echo;

        BYTE lastClass = 0, lastId = 0, lastAcked[2] = { 0, 0 };
        bool sawFrameAfterGap = false;
        size_t units = 0;
        while (LineNotOver(&line)) {
            if (++units > 4 * (size + sizeof(kText) + sizeof(kAck)) + 16)
                std::abort();  // the scanner must always make progress
            if (ScanNextUnit(source)) {
                lastClass = source->frame[2];
                lastId = source->frame[3];
                lastAcked[0] = source->frame[6];
                lastAcked[1] = source->frame[7];
                sawFrameAfterGap = line.segment >= 1;
            }
        }
        std::free(source);

        if (!sawFrameAfterGap || lastClass != 0x05 || lastId != 0x01 || lastAcked[0] != 0x06 ||
            lastAcked[1] != 0x01) {
            std::fprintf(stderr, "the ACK after the gap was not found\n");
            std::abort();
        }
        if (g_lines.empty() || g_lines.back() != "     ACK of [0x6]-[0x1]\r\n") {
            std::fprintf(stderr, "last line: %s\n", g_lines.empty() ? "(none)" : g_lines.back().c_str());
            std::abort();
        }
        if (echo) {
            if (g_echo.substr(line.echoedAtSegmentStart[1]) != kText) {
                std::fprintf(stderr, "text after the gap not echoed exactly\n");
                std::abort();
            }
        } else if (!g_echo.empty()) {
            std::fprintf(stderr, "the boot driver echoed text\n");
            std::abort();
        }
    }
    return 0;
}
