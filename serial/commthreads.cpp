// The parts of the reader and writer threads that do not depend on the operating system; the
// loops themselves are in commthreads_<os>.cpp.
#include "serial/commthreads.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>

using tarvello::CommEventKind;
using Clock = std::chrono::steady_clock;

namespace {

// How late the writer may get to a queued buffer after the line came free and still have it
// follow the one before without a pause.
constexpr int WriterLatenessMaxMs = 5;

int msUntil(Clock::time_point deadline) {
    // Rounded up, so that the wait never ends just short of the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace

TReadThread::TReadThread(tarvello::CommPort& port, tarvello::StopSignal& stop, tarvello::CommEventSink sink,
                         std::atomic<uint64_t>& receivedBytes)
    : m_port(port), m_stop(stop), m_sink(sink), m_receivedBytes(receivedBytes) {}

TReadThread::~TReadThread() {
    wait();
}

bool TReadThread::start() {
    try {
        m_thread = std::thread(&TReadThread::run, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void TReadThread::wait() {
    if (m_thread.joinable()) m_thread.join();
}

void TReadThread::deliver(const uint8_t* bytes, size_t count) {
    // The chunk carries one 0 byte after the data, for readers that take it as text.
    std::vector<uint8_t> chunk(count + 1, 0);
    std::memcpy(chunk.data(), bytes, count);
    m_sink.post(CommEventKind::Received, 0, std::move(chunk));
}

TWriteThread::TWriteThread(tarvello::CommPort& port, tarvello::StopSignal& stop, tarvello::CommEventSink sink,
                           std::atomic<bool>& sendDataEmpty)
    : m_port(port), m_stop(stop), m_sink(sink), m_sendDataEmpty(sendDataEmpty) {}

void TWriteThread::wait() {
    if (m_thread.joinable()) m_thread.join();
}

bool TWriteThread::post(std::vector<uint8_t> buffer) {
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (m_ended) return false;
        m_queue.push_back(std::move(buffer));
        // Cleared under the queue lock, so that it can never stay false over an empty queue.
        m_sendDataEmpty = false;
    }
    wakeUp();
    return true;
}

std::vector<std::vector<uint8_t>> TWriteThread::purge() {
    std::vector<std::vector<uint8_t>> taken;
    std::lock_guard<std::mutex> guard(m_queueLock);
    if (m_ended || m_queue.empty()) return taken;
    taken.reserve(m_queue.size());
    for (std::vector<uint8_t>& buffer : m_queue) taken.push_back(std::move(buffer));
    m_queue.clear();
    // With a buffer under way, the writer reports write-empty after it as usual. With nothing
    // under way the queue is empty from now on; the writer, woken by the hand-overs taken here,
    // still reports it, so that each hand-over is followed by a write-empty.
    if (!m_writing) {
        m_sendDataEmpty = true;
        m_purgedWhileIdle = true;
    }
    return taken;
}

// Takes buffers one at a time, writes each in full and waits until it has left the line, reports
// it written, and reports write-empty whenever the queue runs dry after a buffer (and once after
// starting). Ends on the close event, dropping whatever is still queued, or on a failure, which
// it reports as a hang-up.
void TWriteThread::run() {
    bool notify = true;  // the first empty queue after starting is reported as well
    bool failed = false;
    for (;;) {
        std::vector<uint8_t> request;
        bool taken = false;
        {
            std::lock_guard<std::mutex> guard(m_queueLock);
            m_writing = false;
            if (m_purgedWhileIdle) notify = true;
            m_purgedWhileIdle = false;
            if (!m_queue.empty()) {
                request = std::move(m_queue.front());
                m_queue.pop_front();
                taken = m_writing = true;
            } else {
                m_sendDataEmpty = true;
            }
        }

        if (!taken) {
            if (notify) m_sink.post(CommEventKind::SendEmpty);
            notify = false;
            const Wake wake = waitForWork();
            if (wake == Wake::Work) continue;
            failed = wake == Wake::Failed;
            break;
        }

        if (m_stop.isSignalled()) break;  // the request is dropped unwritten
        if (!writeAll(request, failed)) break;
        m_sink.post(CommEventKind::Written, 0, std::move(request));
        notify = true;
    }

    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_ended = true;
        m_writing = false;
        m_queue.clear();  // requests still queued are dropped with their buffers
        m_sendDataEmpty = true;
    }
    m_port.purge(false, true);
    // Posted last, so that whoever handles it finds the writer refusing further requests.
    if (failed) m_sink.post(CommEventKind::Hangup);
}

// A device server takes the bytes long before its line has sent them: wait until the socket has
// handed them all over, and at least until the line time of the bytes at the set rate has
// passed since they were given to it.
bool TWriteThread::waitUntilSentOverNetwork(Clock::time_point started, size_t bytes) {
    const Clock::time_point lineDone =
        started + std::chrono::microseconds(uint64_t(bytes) * m_port.byteTimeMicros());
    while (m_port.unsentBytes() > 0) {
        if (waitForStop(1)) return false;
    }
    const int left = msUntil(lineDone);
    if (left > 0 && waitForStop(left)) return false;
    return !m_stop.isSignalled();
}

// A line is free again once the buffer's line time has passed, counted from when its write began
// or, if later, from when the line time of the buffer before it ended. A buffer that was already
// queued when the line came free follows the one before without a pause, as on a real line: the
// writer's own lateness in getting to it (waking up, reporting the one before) is not a pause, up
// to WriterLatenessMaxMs; a longer stall is, so that the line never catches up in a burst. Used
// where the driver cannot tell when the bytes have left: a pseudo-terminal on Linux, and any
// serial port on Windows, whose drivers report their queue empty while the last bytes are still
// in the transmitter (and Wine's pseudo-terminal at once).
bool TWriteThread::waitOutLineTime(Clock::time_point started, size_t bytes) {
    const bool following = m_lineFreeAt != Clock::time_point{} &&
                           started - m_lineFreeAt <= std::chrono::milliseconds(WriterLatenessMaxMs);
    const Clock::time_point from = following ? m_lineFreeAt : std::max(started, m_lineFreeAt);
    m_lineFreeAt = from + std::chrono::microseconds(uint64_t(bytes) * m_port.byteTimeMicros());
    return !waitForStopUntil(m_lineFreeAt);
}
