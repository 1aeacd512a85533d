// simulator.cpp - the receiver on its port: a receiving thread and a
// sending thread around one shared State.
//
// Who owns what:
// - Start() and Stop() run on the caller's thread while neither worker runs
//   (Start joins any earlier workers first): they set up and tear down
//   everything, the port handle included.
// - The receiving thread alone reads the port (it uses the handle without
//   a lock: nobody closes it before this thread is done) and owns the frame
//   scanner. It calls Options::onFrame. It exits when `stopping` is set (its
//   reads time out after 20 ms) or after the go-away frame; it never writes.
// - The sending thread writes replies and NMEA chatter. After going away it
//   closes the port, once the receiving thread has said it is done.
// - `mutex` guards every other field of State: the modes, both
//   configurations, the records and the queue of replies. `writeMutex`
//   makes each unit (reply with its noise, sentence, Send() call) go out
//   whole and keeps the port open while one is written; it also guards
//   `port` and `writeFailing`. Lock order:
//   writeMutex before mutex; nobody waits for writeMutex holding mutex.
#include "parts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace rxsim {

using namespace detail;

namespace {

const DWORD kReadWaitMs = 20;     // a 1-byte read returns when the byte is in
const DWORD kWriteLimitMs = 250;  // a write the near end does not drain gives up
const DWORD kLineGoneWaitMs = 200;
const double kIdleWakeMs = 100;

struct PendingReply {
    double dueMs;
    std::vector<uint8_t> bytes;
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
    int completeFrames = 0;
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

// Caller holds writeMutex. Records what went out, even part of a unit.
bool WriteAll(State *s, const uint8_t *data, size_t size)
{
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

bool WriteUnit(State *s, const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> lock(s->writeMutex);
    return WriteAll(s, bytes.data(), bytes.size());
}

struct ReplyExtras {
    bool noise, halfFrame, oversized;
    DWORD oversizedLength;
};

void WriteReply(State *s, const std::vector<uint8_t> &reply, const ReplyExtras &extras)
{
    std::lock_guard<std::mutex> lock(s->writeMutex);
    if (extras.noise) {
        DWORD quietMs;
        std::vector<uint8_t> burst = NoiseBurst(extras.halfFrame, &quietMs);
        WriteAll(s, burst.data(), burst.size());
        Sleep(quietMs);   // nothing else may go out meanwhile: the lock is held
    }
    if (extras.oversized) {
        std::vector<uint8_t> frame = OversizedFrame(extras.oversizedLength);
        WriteAll(s, frame.data(), frame.size());
    }
    WriteAll(s, reply.data(), reply.size());
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

// Answers, applies and records one frame. True when it was the last one
// before going away.
bool HandleFrame(State *s, ReceivedFrame frame)
{
    if (!s->options.probeNearEnd.empty())
        frame.nearEndBaud = ProbeNearEnd(s->options.probeNearEnd);
    bool last;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (frame.complete) {
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
            s->completeFrames++;
        }
        if (frame.answer != Answer::None) {
            PendingReply reply = { frame.arrivalMs + s->latencyMs,
                                   AckFrame(frame.answer == Answer::Ack, frame.cls, frame.id) };
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

void SendLoop(State *s)
{
    unsigned epoch = 0;
    int next = 0;
    double chatterDueMs = 0;
    std::unique_lock<std::mutex> lock(s->mutex);

    while (!s->stopping) {
        double now = s->Now();
        if (!s->pending.empty() && s->pending.front().dueMs <= now) {
            std::vector<uint8_t> reply = std::move(s->pending.front().bytes);
            s->pending.erase(s->pending.begin());
            ReplyExtras extras = { s->noise, s->halfFrame, s->oversized, s->oversizedLength };
            lock.unlock();
            WriteReply(s, reply, extras);
            lock.lock();
            continue;
        }
        if (s->goingAway && s->receiverDone && s->pending.empty()) {
            lock.unlock();
            CloseForGood(s);
            return;
        }
        double wakeMs = now + kIdleWakeMs;
        if (!s->pending.empty())
            wakeMs = std::min(wakeMs, s->pending.front().dueMs);
        if (s->chatterRate > 0 && !s->goingAway) {
            if (chatterDueMs < now - kIdleWakeMs)
                chatterDueMs = now;   // after a pause: no burst to catch up
            if (chatterDueMs <= now) {
                std::string sentence = NextSentence(s->current, &epoch, &next);
                if (!sentence.empty()) {
                    double spacingMs = sentence.size() * 1000.0 / s->chatterRate;
                    lock.unlock();
                    WriteUnit(s, std::vector<uint8_t>(sentence.begin(), sentence.end()));
                    lock.lock();
                    chatterDueMs += spacingMs;
                    continue;
                }
                chatterDueMs = now + kIdleWakeMs;   // all sentences off: look again later
            }
            wakeMs = std::min(wakeMs, chatterDueMs);
        }
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
    return WriteUnit(state_.get(), bytes);
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
