// simulator.cpp - the receiver on its port: a receiving thread and a
// sending thread around one shared State.
//
// Who owns what:
// - Start() and Stop() run on the caller's thread while neither worker runs
//   (Start joins any earlier workers first): they set up and tear down
//   everything, the port handle included.
// - The receiving thread alone reads the port (it uses the handle without
//   a lock: nobody closes it before this thread is done) and owns the frame
//   scanner and the garbled piece in progress. It calls Options::onFrame.
//   It exits when `stopping` is set (its reads time out after 20 ms) or
//   after the go-away frame; it never writes.
// - The sending thread owns the line: it moves due replies and chatter into
//   the transmit queue and writes each unit once the line has carried the
//   units before it. After going away it closes the port, once the
//   receiving thread has said it is done.
// - `mutex` guards every other field of State: the modes, both
//   configurations, the records, the replies not yet due and the transmit
//   queue. `writeMutex` makes each unit (reply with its noise, sentence,
//   Send() call) go out whole and keeps the port open while one is written;
//   it also guards `port` and `writeFailing`. `probeMutex` guards the last
//   near-end probe, which both workers use. Lock order: writeMutex before
//   mutex; nobody waits for writeMutex or probeMutex holding mutex.
#include "parts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace rxsim {

using namespace detail;

namespace {

const DWORD kReadWaitMs = 20;     // a 1-byte read returns when the byte is in
const DWORD kWriteLimitMs = 250;  // a write the near end does not drain gives up
const DWORD kLineGoneWaitMs = 200;
const double kIdleWakeMs = 100;
const double kProbeReuseMs = 50;     // a line check probes the near end at most this often
const double kEpochMs = 1000;        // chatter on a line with a rate: one burst a second

struct PendingReply {
    double dueMs;
    std::vector<uint8_t> bytes;
    size_t frame;   // the answered frame's index in State::frames
};

struct ReplyExtras {
    bool noise, halfFrame, oversized;
    DWORD oversizedLength;
};

// One whole message in the transmit queue: a sentence, or a reply with
// what goes before it.
struct Unit {
    double queuedMs;
    std::vector<uint8_t> bytes;
    bool reply;
    ReplyExtras extras;
    size_t lineBytes;   // what the line carries for it, a reply's noise and oversized frame included
    size_t frame;       // a reply's frame (PendingReply::frame)
};

}  // namespace

struct Simulator::State {
    // Fixed while the workers run.
    Options options;
    LARGE_INTEGER frequency{}, started{};
    std::thread receiver, sender;
    std::atomic<bool> stopping{ false };

    std::mutex writeMutex;
    HANDLE port = INVALID_HANDLE_VALUE;
    bool writeFailing = false;   // log a failing line once, not every sentence

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    Reply reply = Reply::Ack;
    DWORD latencyMs = 0;
    bool noise = false, halfFrame = true, oversized = false;
    DWORD oversizedLength = 1000, chatterRate = 0;
    Configuration current = FactoryDefault(), bbr = FactoryDefault();
    std::vector<ReceivedFrame> frames;
    std::vector<uint8_t> received, sent;
    std::vector<PendingReply> pending;   // by due time
    std::deque<Unit> queue;              // the line's transmit queue
    size_t queuedBytes = 0;
    int completeFrames = 0;

    std::mutex probeMutex;
    double probedAtMs = -1e9;
    DWORD probedBaud = 0;
    bool running = false, receiverDone = false, goingAway = false;

    double Now() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return (double)(now.QuadPart - started.QuadPart) * 1000.0 / (double)frequency.QuadPart;
    }
};

namespace {

typedef Simulator::State State;

// What a near end at another rate makes of the receiver's bytes: one byte
// of garbage each, never 0xB5, so nothing in it starts a frame.
std::vector<uint8_t> Garbled(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> garbage(data, data + size);
    for (uint8_t &byte : garbage) {
        byte = (uint8_t)((byte * 0x9D) ^ 0xA7);
        if (byte == 0xB5)
            byte = 0xB4;
    }
    return garbage;
}

// Caller holds writeMutex. Records what went out, even part of a unit.
bool WriteAll(State *s, const uint8_t *data, size_t size, bool garble)
{
    std::vector<uint8_t> garbage;
    if (garble) {
        garbage = Garbled(data, size);
        data = garbage.data();
    }
    size_t done = 0;
    while (done < size && s->port != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        DWORD piece = (DWORD)std::min<size_t>(size - done, 0x10000);
        BOOL ok = WriteFile(s->port, data + done, piece, &written, nullptr);
        if (written > 0) {
            std::lock_guard<std::mutex> lock(s->mutex);
            s->sent.insert(s->sent.end(), data + done, data + done + written);
            s->changed.notify_all();
        }
        done += written;
        if (!ok || written == 0) {
            if (!s->writeFailing)
                Log("writing to %ls stopped after %u of %u bytes (error %lu)", s->options.port.c_str(),
                    (unsigned)done, (unsigned)size, ok ? 0ul : GetLastError());
            s->writeFailing = true;
            return false;
        }
    }
    if (done == size)
        s->writeFailing = false;
    return done == size;
}

bool WriteUnit(State *s, const std::vector<uint8_t> &bytes, bool garble)
{
    std::lock_guard<std::mutex> lock(s->writeMutex);
    return WriteAll(s, bytes.data(), bytes.size(), garble);
}

// The bytes that go out before a reply.
std::vector<uint8_t> ReplyPrefix(const ReplyExtras &extras, DWORD *quietMs)
{
    std::vector<uint8_t> bytes;
    *quietMs = 0;
    if (extras.noise)
        bytes = NoiseBurst(extras.halfFrame, quietMs);
    return bytes;
}

// When the reply's own bytes started to go out (ms since Start()), or -1
// when they did not all go out.
double WriteReply(State *s, const std::vector<uint8_t> &reply, const ReplyExtras &extras, bool garble)
{
    std::lock_guard<std::mutex> lock(s->writeMutex);
    DWORD quietMs;
    std::vector<uint8_t> burst = ReplyPrefix(extras, &quietMs);
    if (!burst.empty()) {
        WriteAll(s, burst.data(), burst.size(), garble);
        Sleep(quietMs);   // nothing else may go out meanwhile: the lock is held
    }
    if (extras.oversized) {
        std::vector<uint8_t> frame = OversizedFrame(extras.oversizedLength);
        WriteAll(s, frame.data(), frame.size(), garble);
    }
    double startMs = s->Now();
    return WriteAll(s, reply.data(), reply.size(), garble) ? startMs : -1;
}

// Baud rate of the near end as a second handle sees it; 0 when that fails.
DWORD ProbeNearEnd(const std::wstring &name)
{
    HANDLE port = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Log("probe: cannot open %ls (error %lu)", name.c_str(), GetLastError());
        return 0;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    DWORD baud = 0;
    if (GetCommState(port, &dcb))
        baud = dcb.BaudRate;
    else
        Log("probe: GetCommState on %ls failed (error %lu)", name.c_str(), GetLastError());
    CloseHandle(port);
    return baud;
}

// With a line rate and a probe: true when the near end runs at another
// rate than the receiver, so that neither understands the other. *nearBaud
// is the rate last probed (0: unknown, taken as matching).
bool RatesDiffer(State *s, DWORD *nearBaud)
{
    *nearBaud = 0;
    if (s->options.baud == 0 || s->options.probeNearEnd.empty())
        return false;
    std::lock_guard<std::mutex> lock(s->probeMutex);
    if (s->Now() - s->probedAtMs >= kProbeReuseMs) {
        s->probedBaud = ProbeNearEnd(s->options.probeNearEnd);
        s->probedAtMs = s->Now();
    }
    *nearBaud = s->probedBaud;
    return *nearBaud != 0 && *nearBaud != s->options.baud;
}

// Answers, applies and records one frame. True when it was the last one
// before going away.
bool HandleFrame(State *s, ReceivedFrame frame)
{
    if (!s->options.probeNearEnd.empty() && !frame.garbled)
        frame.nearEndBaud = ProbeNearEnd(s->options.probeNearEnd);
    // The receiver drops a frame whose checksum does not match. A header
    // declaring an absurd length has no checksum read: it is refused.
    bool dropped = !frame.checksumOk && frame.length <= kMaxInputPayload;
    bool last;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (frame.complete && !dropped) {
            switch (s->reply) {
            case Reply::Ack:
                frame.applied = ApplyFrame(frame, &s->current, &s->bbr);
                frame.answer = frame.applied ? Answer::Ack : Answer::Nak;
                break;
            case Reply::Nak:
                frame.answer = Answer::Nak;
                break;
            case Reply::Silent:
                break;
            }
        }
        if (frame.complete)
            s->completeFrames++;
        if (frame.answer != Answer::None) {
            PendingReply reply = { frame.arrivalMs + s->latencyMs,
                                   AckFrame(frame.answer == Answer::Ack, frame.cls, frame.id), s->frames.size() };
            auto at = std::upper_bound(s->pending.begin(), s->pending.end(), reply.dueMs,
                                       [](double due, const PendingReply &p) { return due < p.dueMs; });
            s->pending.insert(at, reply);
        }
        s->frames.push_back(frame);
        last = frame.complete && s->options.goAwayAfterFrames >= 0 &&
               s->completeFrames >= s->options.goAwayAfterFrames;
        s->goingAway = s->goingAway || last;
        s->changed.notify_all();
    }
    if (s->options.onFrame)
        s->options.onFrame(frame);
    return last;
}

void RecordReceived(State *s, const uint8_t *bytes, size_t count)
{
    if (count == 0)
        return;
    std::lock_guard<std::mutex> lock(s->mutex);
    s->received.insert(s->received.end(), bytes, bytes + count);
    s->changed.notify_all();
}

// CPU time this thread has used, in ms.
double ThreadCpuMs()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    ULONGLONG ticks = ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
                      ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
    return ticks / 10000.0;
}

void ReceiveLoop(State *s)
{
    FrameScanner scanner;
    ReceivedFrame garbage;   // what a near end at another rate sent, until the line is quiet
    garbage.garbled = true;
    garbage.complete = false;
    uint8_t buffer[4096];
    bool readFailing = false;
    bool leaving = s->options.goAwayAfterFrames == 0;   // gone before the first frame

    while (!leaving && !s->stopping) {
        DWORD got = 0;
        double cpuBefore = ThreadCpuMs();
        if (!ReadFile(s->port, buffer, 1, &got, nullptr)) {
            if (!readFailing)
                Log("reading %ls failed (error %lu); still trying", s->options.port.c_str(), GetLastError());
            readFailing = true;
            Sleep(kReadWaitMs);
            got = 0;
        }
        COMSTAT status;
        DWORD errors;
        if (got == 1 && ClearCommError(s->port, &errors, &status) && status.cbInQue > 0) {
            DWORD more = 0;
            DWORD want = std::min<DWORD>(status.cbInQue, sizeof buffer - 1);
            if (ReadFile(s->port, buffer + 1, want, &more, nullptr))
                got += more;
        }
        double now = s->Now();
        ReceivedFrame frame;
        if (got == 0 && !garbage.bytes.empty()) {
            HandleFrame(s, garbage);
            garbage.bytes.clear();
        }
        if (got == 0) {
            if (GiveUpStalled(&scanner, now, &frame))
                HandleFrame(s, frame);
            // A read that burns its whole wait instead of sleeping: the
            // other end of the cable is gone. Look less often.
            if (ThreadCpuMs() - cpuBefore > kReadWaitMs / 2) {
                if (!readFailing)
                    Log("the line of %ls is gone (reads spin); still trying", s->options.port.c_str());
                readFailing = true;
                Sleep(kLineGoneWaitMs);
            }
            continue;
        }
        readFailing = false;
        DWORD nearBaud;
        if (RatesDiffer(s, &nearBaud)) {
            RecordReceived(s, buffer, got);
            garbage.bytes.insert(garbage.bytes.end(), buffer, buffer + got);
            garbage.nearEndBaud = nearBaud;
            garbage.arrivalMs = now;
            scanner = FrameScanner();   // nothing heard at the wrong rate is part of a frame
            continue;
        }
        // Bytes after the go-away frame are never taken in.
        DWORD from = 0;
        for (DWORD i = 0; i < got && !leaving; i++) {
            if (!FeedByte(&scanner, buffer[i], now, &frame))
                continue;
            RecordReceived(s, buffer + from, i + 1 - from);
            from = i + 1;
            leaving = HandleFrame(s, frame);
        }
        if (!leaving)
            RecordReceived(s, buffer + from, got - from);
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    s->receiverDone = true;
    s->changed.notify_all();
}

// The next sentence due in the chatter: each epoch sends every sentence
// whose rate divides the epoch number. Empty when none is enabled.
std::string NextSentence(const Configuration &configuration, unsigned *epoch, int *next)
{
    for (int step = 0; step < kSentences * 256; step++) {
        if (*next >= kSentences) {
            *next = 0;
            ++*epoch;
        }
        int sentence = (*next)++;
        uint8_t rate = configuration.rate[sentence];
        if (rate != 0 && *epoch % rate == 0)
            return NmeaSentence(sentence, *epoch);
    }
    return std::string();
}

void CloseForGood(State *s)
{
    {
        std::lock_guard<std::mutex> lock(s->writeMutex);
        CloseHandle(s->port);
        s->port = INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    s->running = false;
    s->changed.notify_all();
}

// How long the line takes to carry size bytes (start, 8 data and stop bit
// each); 0 on a line without a rate.
double TransmitMs(const State *s, size_t size)
{
    return s->options.baud == 0 ? 0.0 : size * 10000.0 / s->options.baud;
}

// Caller holds mutex.
void Enqueue(State *s, double nowMs, std::vector<uint8_t> bytes, bool reply, const ReplyExtras &extras,
             size_t frame = 0)
{
    size_t lineBytes = bytes.size();
    if (reply) {
        DWORD quietMs;
        lineBytes += ReplyPrefix(extras, &quietMs).size();
        if (extras.oversized)
            lineBytes += std::min<DWORD>(extras.oversizedLength, 0xFFFF) + 8;   // as OversizedFrame makes it
    }
    s->queuedBytes += bytes.size();
    s->queue.push_back(Unit{ nowMs, std::move(bytes), reply, extras, lineBytes, frame });
}

// Caller holds mutex. Sentences due now join the queue: on a line without
// a rate one at a time at the chatter rate, on a line with one a second's
// worth at each epoch, as far as they fit in one second of the line.
void QueueChatter(State *s, double now, double *dueMs, unsigned *epoch, int *next)
{
    if (s->chatterRate == 0 || s->goingAway || *dueMs > now)
        return;
    if (*dueMs < now - kIdleWakeMs)
        *dueMs = now;   // after a pause: no burst to catch up
    const ReplyExtras none = {};
    if (s->options.baud == 0) {
        std::string sentence = NextSentence(s->current, epoch, next);
        if (sentence.empty()) {
            *dueMs = now + kIdleWakeMs;   // all sentences off: look again later
            return;
        }
        *dueMs += sentence.size() * 1000.0 / s->chatterRate;
        Enqueue(s, now, std::vector<uint8_t>(sentence.begin(), sentence.end()), false, none);
        return;
    }
    size_t room = s->options.baud / 10;
    for (size_t burst = 0; burst < s->chatterRate;) {
        std::string sentence = NextSentence(s->current, epoch, next);
        if (sentence.empty())
            break;
        burst += sentence.size();
        if (s->queuedBytes + sentence.size() <= room)
            Enqueue(s, now, std::vector<uint8_t>(sentence.begin(), sentence.end()), false, none);
    }
    *dueMs += kEpochMs;
}

void SendLoop(State *s)
{
    unsigned epoch = 0;
    int next = 0;
    double chatterDueMs = 0, lineFreeMs = 0;
    std::unique_lock<std::mutex> lock(s->mutex);

    while (!s->stopping) {
        double now = s->Now();
        while (!s->pending.empty() && s->pending.front().dueMs <= now) {
            ReplyExtras extras = { s->noise, s->halfFrame, s->oversized, s->oversizedLength };
            Enqueue(s, now, std::move(s->pending.front().bytes), true, extras, s->pending.front().frame);
            s->pending.erase(s->pending.begin());
        }
        QueueChatter(s, now, &chatterDueMs, &epoch, &next);

        double wakeMs = now + kIdleWakeMs;
        if (!s->queue.empty()) {
            // The front unit starts once the line is free and is written
            // whole when the line has carried its last byte.
            Unit &front = s->queue.front();
            double doneMs = std::max(lineFreeMs, front.queuedMs) + TransmitMs(s, front.lineBytes);
            if (doneMs <= now) {
                Unit unit = std::move(front);
                s->queue.pop_front();
                s->queuedBytes -= unit.bytes.size();
                lock.unlock();
                DWORD nearBaud;
                bool garble = RatesDiffer(s, &nearBaud);
                double repliedMs = -1;
                if (unit.reply)
                    repliedMs = WriteReply(s, unit.bytes, unit.extras, garble);
                else
                    WriteUnit(s, unit.bytes, garble);
                lock.lock();
                if (repliedMs >= 0)
                    s->frames[unit.frame].answeredMs = repliedMs;
                lineFreeMs = std::max(doneMs, s->Now());
                continue;
            }
            wakeMs = std::min(wakeMs, doneMs);
        }
        if (s->goingAway && s->receiverDone && s->pending.empty() && s->queue.empty()) {
            lock.unlock();
            CloseForGood(s);
            return;
        }
        if (!s->pending.empty())
            wakeMs = std::min(wakeMs, s->pending.front().dueMs);
        if (s->chatterRate > 0 && !s->goingAway)
            wakeMs = std::min(wakeMs, chatterDueMs);
        s->changed.wait_for(lock, std::chrono::duration<double, std::milli>(std::max(wakeMs - now, 0.5)));
    }
}

// Start() wants the SBAS mode bit and the flag to agree.
Configuration Normalised(Configuration configuration)
{
    configuration.sbasPayload[0] = (uint8_t)((configuration.sbasPayload[0] & ~1) | (configuration.sbas ? 1 : 0));
    return configuration;
}

}  // namespace

Simulator::Simulator() : state_(new State) {}

Simulator::~Simulator()
{
    Stop();
}

bool Simulator::Start(const Options &options)
{
    Stop();
    State *s = state_.get();
    HANDLE port = CreateFileW(options.port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Log("cannot open %ls (error %lu)", options.port.c_str(), GetLastError());
        return false;
    }
    COMMTIMEOUTS timeouts = { 0, 0, kReadWaitMs, 0, kWriteLimitMs };
    if (!SetCommTimeouts(port, &timeouts)) {
        Log("SetCommTimeouts on %ls failed (error %lu)", options.port.c_str(), GetLastError());
        CloseHandle(port);
        return false;
    }

    s->options = options;
    s->port = port;
    s->writeFailing = false;
    s->stopping = false;
    s->reply = options.reply;
    s->latencyMs = options.latencyMs;
    s->noise = options.noiseBeforeReply;
    s->halfFrame = options.noiseHalfFrame;
    s->oversized = options.oversizedBeforeReply;
    s->oversizedLength = options.oversizedLength;
    s->chatterRate = options.chatterBytesPerSecond;
    s->current = Normalised(options.current);
    s->bbr = Normalised(options.bbr);
    s->frames.clear();
    s->received.clear();
    s->sent.clear();
    s->pending.clear();
    s->queue.clear();
    s->queuedBytes = 0;
    s->probedAtMs = -1e9;
    s->probedBaud = 0;
    s->completeFrames = 0;
    s->receiverDone = false;
    s->goingAway = options.goAwayAfterFrames == 0;
    s->running = true;
    QueryPerformanceFrequency(&s->frequency);
    QueryPerformanceCounter(&s->started);

    s->receiver = std::thread(ReceiveLoop, s);
    s->sender = std::thread(SendLoop, s);
    return true;
}

void Simulator::Stop()
{
    State *s = state_.get();
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->stopping = true;
        s->changed.notify_all();
    }
    if (s->receiver.joinable())
        s->receiver.join();
    if (s->sender.joinable())
        s->sender.join();
    {
        std::lock_guard<std::mutex> lock(s->writeMutex);
        if (s->port != INVALID_HANDLE_VALUE)
            CloseHandle(s->port);
        s->port = INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    s->running = false;
    s->changed.notify_all();
}

bool Simulator::Running() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->running;
}

double Simulator::ElapsedMs() const
{
    return state_->Now();
}

bool Simulator::WaitUntilGone(DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return !state_->running; });
}

Configuration Simulator::Current() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->current;
}

Configuration Simulator::Saved() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->bbr;
}

std::vector<ReceivedFrame> Simulator::Frames() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->frames;
}

std::vector<uint8_t> Simulator::BytesReceived() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->received;
}

std::vector<uint8_t> Simulator::BytesSent() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->sent;
}

bool Simulator::WaitForFrames(size_t count, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->frames.size() >= count; });
}

bool Simulator::WaitForBytesSent(size_t count, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->sent.size() >= count; });
}

bool Simulator::Send(const std::vector<uint8_t> &bytes)
{
    DWORD nearBaud;
    return WriteUnit(state_.get(), bytes, RatesDiffer(state_.get(), &nearBaud));
}

void Simulator::SetReply(Reply reply)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->reply = reply;
}

void Simulator::SetLatency(DWORD latencyMs)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->latencyMs = latencyMs;
}

void Simulator::SetNoise(bool noiseBeforeReply, bool halfFrame)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->noise = noiseBeforeReply;
    state_->halfFrame = halfFrame;
}

void Simulator::SetOversized(bool oversizedBeforeReply, DWORD length)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->oversized = oversizedBeforeReply;
    state_->oversizedLength = length;
}

void Simulator::SetChatter(DWORD bytesPerSecond)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->chatterRate = bytesPerSecond;
    state_->changed.notify_all();
}

}  // namespace rxsim
