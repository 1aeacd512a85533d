// rxsim.h - a simulated GPS receiver (u-blox 6, first UART) on the far end
// ("COM4:") of the run's null-modem cable.
//
// It keeps a current and a battery-backed (BBR) configuration of the eleven
// NMEA sentences and SBAS, answers UBX configuration frames with ACK-ACK or
// ACK-NAK (and drops frames with a bad checksum unanswered), can stream NMEA
// text over a line with a rate, run at another rate than the near end,
// garble the line before its replies and go away, and records everything
// that crosses the cable for tests to inspect.
// Tests link the library and run it in their own process; rxsim.exe wraps it
// for manual use.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rxsim {

// The NMEA sentences of class 0xF0, message ids 0..10.
enum { kSentences = 11 };
extern const char *const kSentenceNames[kSentences];   // "GGA" ... "DTM"

// Configuration sections of CFG-CFG's masks.
enum : uint32_t { kSectionMessages = 0x02, kSectionNavigation = 0x08 };

struct Configuration {
    std::array<uint8_t, kSentences> rate;   // output rate per sentence; 0 = off
    bool sbas;                              // bit 0 of the CFG-SBAS mode byte
    // The whole CFG-SBAS payload last applied (mode, usage, maxSBAS,
    // scanmode2, scanmode1). Kept for inspection; == compares rate and sbas
    // only, and Start() makes its mode bit agree with sbas.
    std::array<uint8_t, 8> sbasPayload;

    bool operator==(const Configuration &other) const
    {
        return rate == other.rate && sbas == other.sbas;
    }
    bool operator!=(const Configuration &other) const { return !(*this == other); }
};

// GGA GLL GSA GSV RMC VTG at rate 1, the rest 0, SBAS on.
Configuration FactoryDefault();
// "GGA GLL GSA GSV RMC VTG, SBAS on"; a rate above 1 shows as "GSV/5";
// "no sentences, SBAS off" when all are 0.
std::string Describe(const Configuration &configuration);

// The BBR file of rxsim.exe: one "NAME rate" line per sentence and
// "SBAS xx xx xx xx xx xx xx xx" (the CFG-SBAS payload in hex). Loading
// starts from the factory default, so missing lines keep their default; a
// line it cannot read is logged and skipped. Both return false when the file
// cannot be opened (or, loading, holds nothing readable).
bool LoadConfiguration(const std::wstring &path, Configuration *configuration);
bool SaveConfiguration(const std::wstring &path, const Configuration &configuration);

// How the receiver answers a frame.
//   Ack:    applies a valid frame and answers ACK-ACK; NAKs a well-formed
//           frame it refuses (a bad length for its message, an unknown
//           message, a header declaring an absurd length).
//   Nak:    answers every well-formed frame with ACK-NAK, applies nothing.
//   Silent: records frames, applies nothing, answers nothing.
// In every mode a frame with a bad checksum is dropped unanswered, as the
// receiver drops it.
enum class Reply { Ack, Nak, Silent };

// What the receiver did with one frame.
enum class Answer { None, Ack, Nak };

struct ReceivedFrame {
    // The frame as it came in, sync bytes to checksum. A frame declaring an
    // absurd length (over kMaxInputPayload) holds its 6 header bytes only:
    // it is answered right away and the bytes after it are scanned afresh.
    std::vector<uint8_t> bytes;
    uint8_t cls = 0, id = 0;
    uint16_t length = 0;        // as declared in the header
    bool checksumOk = false;
    // False when the line went quiet for kStallMs inside the frame: the
    // piece is recorded, never answered, and scanning starts over.
    bool complete = true;
    double arrivalMs = 0;       // when its last byte arrived, ms since Start()
    DWORD nearEndBaud = 0;      // probe: the near end's baud rate then; 0 = no probe or it failed
    // Bytes sent at another rate than the receiver's (Options::baud): the
    // receiver heard only garbage. Such a piece is never complete.
    bool garbled = false;
    Answer answer = Answer::None;
    // When the receiver started writing its answer (which then went out
    // whole), ms since Start(); 0 until then.
    double answeredMs = 0;
    bool applied = false;       // it changed (or confirmed) the configuration
};

enum : uint16_t { kMaxInputPayload = 512 };
enum : DWORD { kStallMs = 500 };

struct Options {
    std::wstring port = L"COM4:";
    Reply reply = Reply::Ack;
    // Delay from a frame's last byte to its reply. Longer than the caller's
    // poll limit, it makes a late answer that lands in the next wait.
    DWORD latencyMs = 0;
    // Before each reply: text bytes, two false starts (0xB5 followed by five
    // bytes without 0xB5 or 0x62 first) and, if noiseHalfFrame, the first
    // bytes of a NAV frame followed by a quiet gap long enough for a reader
    // with 50 ms + 2 ms/byte time-outs to give the frame up.
    bool noiseBeforeReply = false;
    bool noiseHalfFrame = true;
    // Before each reply: a well-formed NAV-SVINFO frame with a payload of
    // oversizedLength bytes (normally more than 250, at most 65535).
    bool oversizedBeforeReply = false;
    DWORD oversizedLength = 1000;
    // NMEA sentences for the current configuration, epoch after epoch, at
    // this many bytes a second (3840 = a full 38400 baud line); 0 = none.
    // Replies go out between sentences, never inside one.
    DWORD chatterBytesPerSecond = 0;
    // The receiver's UART rate (the factory default of the first UART is
    // 9600). 0: the line has no rate, bytes go out as fast as the cable takes
    // them, and the receiver understands a near end at any rate. Otherwise:
    // - the line carries baud / 10 bytes a second. Everything the receiver
    //   sends is queued whole (a sentence, a reply with its noise) and goes
    //   out when the line has carried what was queued before it, so a reply
    //   waits for the sentences ahead of it. The chatter then comes as a
    //   burst of chatterBytesPerSecond bytes of sentences once a second, as
    //   a receiver queues each navigation epoch's output; what does not fit
    //   in a queue of one second of the line is dropped.
    // - with probeNearEnd set, a near end at another rate gets no answer:
    //   what it sends is heard as garbage (recorded as a garbled piece), and
    //   what the receiver sends reaches it as garbage bytes, one for each
    //   byte sent, none of them 0xB5.
    DWORD baud = 0;
    // After its Nth complete frame (handled and answered as usual, latency
    // included) the receiver closes its port and stops; 0 = at once, -1 = never.
    int goAwayAfterFrames = -1;
    // e.g. L"COM3:": at each frame open a second handle to the near end and
    // record its baud rate in the frame (with baud set, also whenever bytes
    // cross the line, at most every 50 ms). Empty = no probe.
    std::wstring probeNearEnd;
    Configuration current = FactoryDefault();
    Configuration bbr = FactoryDefault();
    // Called on the receiving thread after each frame is recorded; it must
    // not call Stop().
    std::function<void(const ReceivedFrame &)> onFrame;
};

// A UBX frame with its checksum: B5 62 cls id len(LE) payload CK_A CK_B.
std::vector<uint8_t> MakeFrame(uint8_t cls, uint8_t id, const std::vector<uint8_t> &payload);
// The receiver's answer to cls/id (ACK-ACK or ACK-NAK).
std::vector<uint8_t> AckFrame(bool ack, uint8_t cls, uint8_t id);
// One line about a frame, e.g. "CFG-MSG GGA rate 1", "CFG-SBAS on",
// "CFG-CFG save msg+nav to BBR", "UBX 06-08 len 6 (bad checksum)".
std::string DescribeFrame(const ReceivedFrame &frame);

class Simulator {
public:
    Simulator();
    ~Simulator();   // stops
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Opens the port and starts receiving (and chattering). False, with the
    // reason logged to stderr, when the port cannot be opened or it runs.
    bool Start(const Options &options = Options());
    // Joins the threads and closes the port; replies not yet due are
    // dropped. Safe to call twice, or after the receiver went away.
    void Stop();
    // Until Stop() or going away.
    bool Running() const;
    bool WaitUntilGone(DWORD timeoutMs) const;
    // Ms since Start(), on the clock of ReceivedFrame::arrivalMs.
    double ElapsedMs() const;

    Configuration Current() const;
    Configuration Saved() const;
    std::vector<ReceivedFrame> Frames() const;
    std::vector<uint8_t> BytesReceived() const;
    std::vector<uint8_t> BytesSent() const;
    bool WaitForFrames(size_t count, DWORD timeoutMs) const;
    // Waits until at least count bytes have been sent.
    bool WaitForBytesSent(size_t count, DWORD timeoutMs) const;

    // Raw bytes from the receiver's side, written at once: between replies
    // and sentences, never inside one (so it waits out a reply's noise gap),
    // and past any queue of the line. False when not all went out, e.g.
    // after the receiver went away.
    bool Send(const std::vector<uint8_t> &bytes);

    // Switch modes while running; they apply from the next frame or reply.
    void SetReply(Reply reply);
    void SetLatency(DWORD latencyMs);
    void SetNoise(bool noiseBeforeReply, bool halfFrame = true);
    void SetOversized(bool oversizedBeforeReply, DWORD length = 1000);
    void SetChatter(DWORD bytesPerSecond);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace rxsim
