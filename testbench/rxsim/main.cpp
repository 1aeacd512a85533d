// main.cpp - rxsim.exe: the simulated receiver as a program, for manual use
// and the demo.
//
//   rxsim.exe [--port COM4:] [--reply ack|nak|silent] [--latency MS] [--noise]
//             [--oversized N] [--chatter BYTES_PER_S] [--go-away N]
//             [--baud RATE] [--probe COM3:] [--state FILE]
//
// --baud gives the receiver's UART a rate: the line then carries RATE/10
// bytes a second, and a near end at another rate (probed on COM3: unless
// --probe names another port) gets garbage and no answers.
//
// Runs until stdin ends or reads "quit". Other lines on stdin:
// "reply ack|nak|silent" switches the answer mode, "send B5 62 ..." sends
// raw bytes (hex). With --state the battery-backed configuration lives in
// FILE between runs, and the receiver starts from it as after power-on.
//
// The main thread reads stdin; the simulator's receiving thread prints the
// frame lines. printMutex keeps their lines whole.
#include "rxsim.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>

namespace {

std::mutex printMutex;

void PrintLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void PrintLine(const char *format, ...)
{
    std::lock_guard<std::mutex> lock(printMutex);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

const char *const kReplyNames[] = { "ack", "nak", "silent" };

bool ParseReply(const char *name, rxsim::Reply *reply)
{
    for (int i = 0; i < 3; i++) {
        if (strcmp(name, kReplyNames[i]) == 0) {
            *reply = (rxsim::Reply)i;
            return true;
        }
    }
    return false;
}

const char *AnswerText(rxsim::Answer answer)
{
    switch (answer) {
    case rxsim::Answer::Ack: return "-> ACK";
    case rxsim::Answer::Nak: return "-> NAK";
    case rxsim::Answer::None: break;
    }
    return "-> (silent)";
}

bool Number(const wchar_t *text, DWORD limit, DWORD *value)
{
    wchar_t *end = nullptr;
    unsigned long number = wcstoul(text, &end, 10);
    if (end == text || *end != L'\0' || number > limit)
        return false;
    *value = (DWORD)number;
    return true;
}

int Usage()
{
    fprintf(stderr,
            "usage: rxsim.exe [--port COM4:] [--reply ack|nak|silent] [--latency MS] [--noise]\n"
            "                 [--oversized N] [--chatter BYTES_PER_S] [--go-away N]\n"
            "                 [--baud RATE] [--probe COM3:] [--state FILE]\n"
            "Runs until stdin ends or a line \"quit\"; \"reply MODE\" and \"send HEX...\" work too.\n");
    return 2;
}

// Parses the command line into options; false on anything unknown.
bool ParseArguments(int argc, wchar_t **argv, rxsim::Options *options, std::wstring *statePath)
{
    for (int i = 1; i < argc; i++) {
        std::wstring flag = argv[i];
        const wchar_t *value = i + 1 < argc ? argv[i + 1] : nullptr;
        DWORD number = 0;
        bool takesValue = flag != L"--noise";
        if (takesValue && value == nullptr)
            return false;
        char narrow[16] = "";
        if (value != nullptr)
            snprintf(narrow, sizeof narrow, "%ls", value);

        if (flag == L"--noise")
            options->noiseBeforeReply = true;
        else if (flag == L"--port")
            options->port = value;
        else if (flag == L"--probe")
            options->probeNearEnd = value;
        else if (flag == L"--state")
            *statePath = value;
        else if (flag == L"--reply" && ParseReply(narrow, &options->reply))
            ;
        else if (flag == L"--latency" && Number(value, 600000, &number))
            options->latencyMs = number;
        else if (flag == L"--oversized" && Number(value, 65535, &number)) {
            options->oversizedBeforeReply = true;
            options->oversizedLength = number;
        } else if (flag == L"--chatter" && Number(value, 1000000, &number))
            options->chatterBytesPerSecond = number;
        else if (flag == L"--go-away" && Number(value, 1000000, &number))
            options->goAwayAfterFrames = (int)number;
        else if (flag == L"--baud" && Number(value, 4000000, &number) && number >= 10)
            options->baud = number;
        else
            return false;
        i += takesValue ? 1 : 0;
    }
    if (options->baud != 0 && options->probeNearEnd.empty())
        options->probeNearEnd = L"COM3:";   // the rate check needs to see the near end
    return true;
}

void PrintSettings(const rxsim::Options &options, const std::wstring &statePath, bool stateLoaded)
{
    char goAway[32] = "never";
    if (options.goAwayAfterFrames >= 0)
        snprintf(goAway, sizeof goAway, "after %d frames", options.goAwayAfterFrames);
    char oversized[32] = "off";
    if (options.oversizedBeforeReply)
        snprintf(oversized, sizeof oversized, "%lu bytes", options.oversizedLength);
    PrintLine("rxsim on %ls reply %s, latency %lu ms, noise %s, oversized %s, chatter %lu bytes/s, go away %s",
              options.port.c_str(), kReplyNames[(int)options.reply], options.latencyMs,
              options.noiseBeforeReply ? "on" : "off", oversized, options.chatterBytesPerSecond, goAway);
    if (options.baud != 0)
        PrintLine("line: %lu baud (%lu bytes/s); a near end at another rate hears garbage", options.baud,
                  options.baud / 10);
    if (!options.probeNearEnd.empty())
        PrintLine("probe: baud rate of %ls at each frame", options.probeNearEnd.c_str());
    if (!statePath.empty())
        PrintLine("BBR file: %ls%s", statePath.c_str(), stateLoaded ? "" : " (none yet: factory default)");
    PrintLine("current: %s", rxsim::Describe(options.current).c_str());
    PrintLine("BBR:     %s", rxsim::Describe(options.bbr).c_str());
}

// One stdin line; false to end the run.
bool Command(rxsim::Simulator *simulator, char *line)
{
    line[strcspn(line, "\r\n")] = '\0';
    char word[16] = "", mode[16] = "";
    int used = 0;
    if (sscanf(line, " %15s %n", word, &used) < 1)
        return true;
    if (strcmp(word, "quit") == 0)
        return false;
    rxsim::Reply reply;
    if (strcmp(word, "reply") == 0 && sscanf(line + used, "%15s", mode) == 1 && ParseReply(mode, &reply)) {
        simulator->SetReply(reply);
        PrintLine("reply mode now %s", mode);
    } else if (strcmp(word, "send") == 0) {
        std::vector<uint8_t> bytes;
        char *end = line + used;
        for (;;) {
            char *start = end;
            unsigned long value = strtoul(start, &end, 16);
            if (end == start || value > 0xFF)
                break;
            bytes.push_back((uint8_t)value);
        }
        bool sent = simulator->Send(bytes);
        PrintLine("sent %u bytes%s", (unsigned)bytes.size(), sent ? "" : " (write failed)");
    } else {
        PrintLine("unknown command: %s (quit, reply ack|nak|silent, send HEX...)", line);
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    rxsim::Options options;
    std::wstring statePath;
    if (!ParseArguments(argc, argv, &options, &statePath))
        return Usage();
    bool stateLoaded = false;
    if (!statePath.empty()) {
        stateLoaded = rxsim::LoadConfiguration(statePath, &options.bbr);
        options.current = options.bbr;   // power-on: the BBR configuration is loaded
    }

    int framesSeen = 0;
    int goAwayAfter = options.goAwayAfterFrames;
    options.onFrame = [&framesSeen, goAwayAfter](const rxsim::ReceivedFrame &frame) {
        bool dropped = !frame.complete || (frame.answer == rxsim::Answer::None && !frame.checksumOk);
        PrintLine("[%9.1f ms] %s %s", frame.arrivalMs, rxsim::DescribeFrame(frame).c_str(),
                  frame.garbled ? "-> (not understood)" : dropped ? "-> (dropped)" : AnswerText(frame.answer));
        if (frame.nearEndBaud != 0 && !frame.garbled)
            PrintLine("             near end at %lu baud", frame.nearEndBaud);
        if (frame.complete && ++framesSeen == goAwayAfter)
            PrintLine("going away after %d frames: the port closes once this answer is out", goAwayAfter);
    };

    // The settings come out once the port is open: a script that waits for
    // the first line can start sending.
    rxsim::Simulator simulator;
    if (!simulator.Start(options)) {
        fprintf(stderr, "rxsim: cannot start on %ls\n", options.port.c_str());
        return 1;
    }
    PrintSettings(options, statePath, stateLoaded);
    char line[1024];
    while (fgets(line, sizeof line, stdin) != nullptr && Command(&simulator, line)) {
    }
    simulator.Stop();

    rxsim::Configuration current = simulator.Current(), saved = simulator.Saved();
    PrintLine("final current: %s", rxsim::Describe(current).c_str());
    PrintLine("final BBR:     %s", rxsim::Describe(saved).c_str());
    if (!statePath.empty() && !rxsim::SaveConfiguration(statePath, saved))
        return 1;
    return 0;
}
