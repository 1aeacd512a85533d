// parts.h - the simulator's pieces below the Simulator class: the incoming
// frame scanner, the message rules, the bytes it sends and its log. None of
// them keeps state of its own; the caller owns every object passed in.
#pragma once

#include "rxsim.h"

#include <string>
#include <vector>

namespace rxsim {
namespace detail {

// Problems go to stderr ("rxsim: ..."), never to the debug output, which
// tests capture from the system under test in the same process.
void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Fletcher checksum over bytes[2 .. size-2): class, id, length, payload.
void Checksum(const uint8_t *bytes, size_t size, uint8_t *a, uint8_t *b);

// Incoming UBX frames, byte by byte.
struct FrameScanner {
    enum Stage { kHunt, kSync2, kHeader, kBody } stage = kHunt;
    std::vector<uint8_t> bytes;   // the frame so far, from its 0xB5
    double lastByteMs = 0;
};
// True when this byte ends a frame (or the header of one with an absurd
// length); *frame then holds it, answer and probe not yet filled in.
bool FeedByte(FrameScanner *scanner, uint8_t byte, double nowMs, ReceivedFrame *frame);
// True when a frame in progress has been quiet for kStallMs: *frame holds
// the piece (complete = false) and the scanner hunts for 0xB5 again.
bool GiveUpStalled(FrameScanner *scanner, double nowMs, ReceivedFrame *frame);

// Checks a complete frame against its message's rule and applies it: true
// means ACK. A frame it rejects changes nothing.
bool ApplyFrame(const ReceivedFrame &frame, Configuration *current, Configuration *bbr);

// Garbage a reply can follow: see Options::noiseBeforeReply. *quietMs is the
// gap to keep after it (0 without the half frame).
std::vector<uint8_t> NoiseBurst(bool halfFrame, DWORD *quietMs);
// A well-formed NAV-SVINFO frame with a payload of length bytes (no 0xB5 in it).
std::vector<uint8_t> OversizedFrame(DWORD length);

// One NMEA sentence ("$GPGGA,...*hh\r\n") for the given epoch (seconds).
std::string NmeaSentence(int sentence, unsigned epoch);

}  // namespace detail
}  // namespace rxsim
