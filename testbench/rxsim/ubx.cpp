// ubx.cpp - UBX frames in and out: the scanner for incoming frames, the
// table of configuration messages the receiver understands, its answers and
// the garbage it can put before them.
//
// Plain functions over objects their caller owns; the receiving thread
// drives the scanner and applies frames under the simulator's lock.
#include "parts.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace rxsim {
namespace detail {

namespace {

const uint8_t kSync1 = 0xB5, kSync2 = 0x62;
const uint8_t kClassAck = 0x05, kIdAck = 0x01, kIdNak = 0x00;
const size_t kHeaderLength = 6;
const uint8_t kDeviceBbr = 0x01;

uint32_t Le32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

// ---- the configuration messages ----

typedef bool (*ApplyFn)(const uint8_t *payload, uint16_t length, Configuration *current,
                        Configuration *bbr);
typedef std::string (*DescribeFn)(const uint8_t *payload, uint16_t length);

struct MessageRule {
    uint8_t cls, id;
    const char *name;
    uint16_t lengths[2];   // the payload lengths it accepts
    ApplyFn apply;
    DescribeFn describe;
};

// CFG-MSG: class, id, rate on this port (3 bytes) or rates on ports 0..5
// (8 bytes; the first UART is port 1). Only the NMEA sentences are modelled.
bool MsgTarget(const uint8_t *payload, uint16_t length, int *sentence, uint8_t *rate)
{
    *rate = length == 3 ? payload[2] : payload[2 + 1];
    *sentence = payload[1];
    return payload[0] == 0xF0 && payload[1] < kSentences;
}

bool ApplyMsg(const uint8_t *payload, uint16_t length, Configuration *current, Configuration *)
{
    int sentence;
    uint8_t rate;
    if (!MsgTarget(payload, length, &sentence, &rate))
        return false;
    current->rate[sentence] = rate;
    return true;
}

std::string DescribeMsg(const uint8_t *payload, uint16_t length)
{
    int sentence;
    uint8_t rate;
    char text[80];
    const char *form = length == 8 ? " (all ports)" : "";
    if (MsgTarget(payload, length, &sentence, &rate))
        snprintf(text, sizeof text, "CFG-MSG %s rate %u%s", kSentenceNames[sentence], rate, form);
    else
        snprintf(text, sizeof text, "CFG-MSG %02X-%02X rate %u%s (not modelled)", payload[0],
                 payload[1], rate, form);
    return text;
}

bool ApplySbas(const uint8_t *payload, uint16_t, Configuration *current, Configuration *)
{
    memcpy(current->sbasPayload.data(), payload, 8);
    current->sbas = (payload[0] & 1) != 0;
    return true;
}

std::string DescribeSbas(const uint8_t *payload, uint16_t)
{
    return (payload[0] & 1) ? "CFG-SBAS on" : "CFG-SBAS off";
}

void CopySections(Configuration *to, const Configuration &from, uint32_t mask)
{
    if (mask & kSectionMessages)
        to->rate = from.rate;
    if (mask & kSectionNavigation) {
        to->sbas = from.sbas;
        to->sbasPayload = from.sbasPayload;
    }
}

// CFG-CFG: clearMask, saveMask, loadMask, optional deviceMask (absent = all
// devices). Clear and save touch the BBR only when the device mask names
// it; load always reads the BBR, the one permanent store modelled.
bool ApplyCfg(const uint8_t *payload, uint16_t length, Configuration *current, Configuration *bbr)
{
    bool toBbr = length < 13 || (payload[12] & kDeviceBbr);
    if (toBbr) {
        CopySections(bbr, FactoryDefault(), Le32(payload));
        CopySections(bbr, *current, Le32(payload + 4));
    }
    CopySections(current, *bbr, Le32(payload + 8));
    return true;
}

std::string SectionNames(uint32_t mask)
{
    std::string names;
    if (mask & kSectionMessages)
        names = "msg";
    if (mask & kSectionNavigation)
        names += names.empty() ? "nav" : "+nav";
    if (mask & ~(uint32_t)(kSectionMessages | kSectionNavigation)) {
        char other[24];
        snprintf(other, sizeof other, "%s0x%X", names.empty() ? "" : "+",
                 (unsigned)(mask & ~(uint32_t)(kSectionMessages | kSectionNavigation)));
        names += other;
    }
    return names;
}

std::string DescribeCfg(const uint8_t *payload, uint16_t length)
{
    static const char *const kActions[3][2] = { { "clear", " in " }, { "save", " to " },
                                                { "load", " from " } };
    char device[24] = "BBR";
    if (length == 13 && !(payload[12] & kDeviceBbr))
        snprintf(device, sizeof device, "devices 0x%02X", payload[12]);
    std::string text = "CFG-CFG";
    const char *separator = " ";
    for (int i = 0; i < 3; i++) {
        uint32_t mask = Le32(payload + 4 * i);
        if (mask == 0)
            continue;
        text += separator;
        text += kActions[i][0];
        text += " " + SectionNames(mask) + kActions[i][1] + (i == 2 ? "BBR" : device);
        separator = ", ";
    }
    return *separator == ' ' ? text + " (nothing)" : text;
}

const MessageRule kRules[] = {
    { 0x06, 0x01, "CFG-MSG", { 3, 8 }, ApplyMsg, DescribeMsg },
    { 0x06, 0x16, "CFG-SBAS", { 8, 8 }, ApplySbas, DescribeSbas },
    { 0x06, 0x09, "CFG-CFG", { 12, 13 }, ApplyCfg, DescribeCfg },
};

const MessageRule *FindRule(uint8_t cls, uint8_t id)
{
    for (const MessageRule &rule : kRules) {
        if (rule.cls == cls && rule.id == id)
            return &rule;
    }
    return nullptr;
}

// The rule of a frame whose payload is all there and has a length its
// message accepts; nullptr otherwise.
const MessageRule *UsableRule(const ReceivedFrame &frame)
{
    const MessageRule *rule = FindRule(frame.cls, frame.id);
    if (rule == nullptr || !frame.complete || frame.bytes.size() != frame.length + 8u)
        return nullptr;
    if (frame.length != rule->lengths[0] && frame.length != rule->lengths[1])
        return nullptr;
    return rule;
}

void EndFrame(FrameScanner *scanner, bool complete, ReceivedFrame *frame)
{
    const std::vector<uint8_t> &bytes = scanner->bytes;
    *frame = ReceivedFrame();
    frame->bytes = bytes;
    frame->cls = bytes.size() > 2 ? bytes[2] : 0;
    frame->id = bytes.size() > 3 ? bytes[3] : 0;
    frame->length = bytes.size() >= kHeaderLength ? (uint16_t)(bytes[4] | (bytes[5] << 8)) : 0;
    frame->complete = complete;
    frame->arrivalMs = scanner->lastByteMs;
    if (complete && bytes.size() == frame->length + 8u) {
        uint8_t a, b;
        Checksum(bytes.data(), bytes.size(), &a, &b);
        frame->checksumOk = a == bytes[bytes.size() - 2] && b == bytes[bytes.size() - 1];
    }
    scanner->stage = FrameScanner::kHunt;
    scanner->bytes.clear();
}

}  // namespace

void Log(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "rxsim: %s\n", line);
    fflush(stderr);
}

void Checksum(const uint8_t *bytes, size_t size, uint8_t *a, uint8_t *b)
{
    *a = *b = 0;
    for (size_t i = 2; i + 2 < size; i++) {
        *a = (uint8_t)(*a + bytes[i]);
        *b = (uint8_t)(*b + *a);
    }
}

bool FeedByte(FrameScanner *scanner, uint8_t byte, double nowMs, ReceivedFrame *frame)
{
    std::vector<uint8_t> &bytes = scanner->bytes;
    scanner->lastByteMs = nowMs;
    switch (scanner->stage) {
    case FrameScanner::kHunt:
    case FrameScanner::kSync2:
        // 0xB5 0xB5 0x62: the second 0xB5 starts the frame.
        if (byte == kSync1) {
            bytes.assign(1, byte);
            scanner->stage = FrameScanner::kSync2;
        } else if (scanner->stage == FrameScanner::kSync2 && byte == kSync2) {
            bytes.push_back(byte);
            scanner->stage = FrameScanner::kHeader;
        } else {
            scanner->stage = FrameScanner::kHunt;
        }
        return false;
    case FrameScanner::kHeader:
        bytes.push_back(byte);
        if (bytes.size() < kHeaderLength)
            return false;
        if ((bytes[4] | (bytes[5] << 8)) > kMaxInputPayload) {
            EndFrame(scanner, true, frame);   // answered now; its "payload" is scanned as text
            return true;
        }
        scanner->stage = FrameScanner::kBody;
        return false;
    case FrameScanner::kBody:
        bytes.push_back(byte);
        if (bytes.size() < (size_t)(bytes[4] | (bytes[5] << 8)) + 8)
            return false;
        EndFrame(scanner, true, frame);
        return true;
    }
    return false;
}

bool GiveUpStalled(FrameScanner *scanner, double nowMs, ReceivedFrame *frame)
{
    if (scanner->stage == FrameScanner::kHunt || nowMs - scanner->lastByteMs < kStallMs)
        return false;
    if (scanner->stage == FrameScanner::kSync2) {   // a lone 0xB5 is no frame
        scanner->stage = FrameScanner::kHunt;
        scanner->bytes.clear();
        return false;
    }
    EndFrame(scanner, false, frame);
    return true;
}

bool ApplyFrame(const ReceivedFrame &frame, Configuration *current, Configuration *bbr)
{
    const MessageRule *rule = UsableRule(frame);
    if (rule == nullptr || !frame.checksumOk)
        return false;
    return rule->apply(frame.bytes.data() + kHeaderLength, frame.length, current, bbr);
}

std::vector<uint8_t> NoiseBurst(bool halfFrame, DWORD *quietMs)
{
    // Text, then two false starts: each 0xB5 is followed by five bytes that
    // hold no 0xB5 and do not start with 0x62.
    static const uint8_t kGarbage[] = {
        'x', 0x00, 0xFF, '\r', '\n',
        0xB5, 0x00, 0x11, 0x22, 0x33, 0x44,
        0xB5, 'N', 'O', 'I', 'S', 'E',
    };
    // NAV-POSLLH announcing 28 bytes, cut off after 6 of them.
    static const uint8_t kHalfFrame[] = { 0xB5, 0x62, 0x01, 0x02, 0x1C, 0x00, 1, 2, 3, 4, 5, 6 };
    const DWORD declared = 0x1C + 2;   // payload and checksum a reader waits for

    std::vector<uint8_t> bytes(sizeof kGarbage + (halfFrame ? sizeof kHalfFrame : 0));
    memcpy(bytes.data(), kGarbage, sizeof kGarbage);
    *quietMs = 0;
    if (halfFrame) {
        memcpy(bytes.data() + sizeof kGarbage, kHalfFrame, sizeof kHalfFrame);
        // A read of n bytes gives up after 50 ms + 2 ms/byte; keep a margin.
        DWORD readLimit = 50 + 2 * declared;
        *quietMs = readLimit + 40 > 150 ? readLimit + 40 : 150;
    }
    return bytes;
}

std::vector<uint8_t> OversizedFrame(DWORD length)
{
    if (length > 0xFFFF)
        length = 0xFFFF;
    std::vector<uint8_t> payload(length);
    for (DWORD i = 0; i < length; i++)
        payload[i] = (uint8_t)((i * 7 + 3) & 0x7F);
    return MakeFrame(0x01, 0x30, payload);
}

}  // namespace detail

std::string DescribeFrame(const ReceivedFrame &frame)
{
    const detail::MessageRule *known = detail::FindRule(frame.cls, frame.id);
    const detail::MessageRule *rule = detail::UsableRule(frame);
    char text[96];
    std::string line;
    if (frame.garbled) {
        snprintf(text, sizeof text, "%u bytes of garbage (the near end at %lu baud)",
                 (unsigned)frame.bytes.size(), (unsigned long)frame.nearEndBaud);
        return text;
    }
    if (!frame.complete) {
        snprintf(text, sizeof text, "UBX %02X-%02X cut off after %u bytes", frame.cls, frame.id,
                 (unsigned)frame.bytes.size());
        return text;
    }
    if (rule != nullptr) {
        line = rule->describe(frame.bytes.data() + detail::kHeaderLength, frame.length);
    } else {
        if (known != nullptr)
            snprintf(text, sizeof text, "%s len %u", known->name, frame.length);
        else
            snprintf(text, sizeof text, "UBX %02X-%02X len %u", frame.cls, frame.id, frame.length);
        line = text;
        if (frame.length > kMaxInputPayload)
            line += " (absurd length)";
    }
    if (!frame.checksumOk && frame.length <= kMaxInputPayload)
        line += " (bad checksum)";
    return line;
}

std::vector<uint8_t> MakeFrame(uint8_t cls, uint8_t id, const std::vector<uint8_t> &payload)
{
    size_t length = payload.size() < 0xFFFF ? payload.size() : 0xFFFF;
    std::vector<uint8_t> frame(length + 8);
    frame[0] = detail::kSync1;
    frame[1] = detail::kSync2;
    frame[2] = cls;
    frame[3] = id;
    frame[4] = (uint8_t)(length & 0xFF);
    frame[5] = (uint8_t)(length >> 8);
    if (length > 0)
        memcpy(&frame[6], payload.data(), length);
    detail::Checksum(frame.data(), frame.size(), &frame[length + 6], &frame[length + 7]);
    return frame;
}

std::vector<uint8_t> AckFrame(bool ack, uint8_t cls, uint8_t id)
{
    return MakeFrame(detail::kClassAck, ack ? detail::kIdAck : detail::kIdNak, { cls, id });
}

}  // namespace rxsim
