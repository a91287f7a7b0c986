// The reader and writer threads on Windows: overlapped WaitCommEvent, ReadFile and WriteFile,
// each waited for together with the close event; for a network port, WSAPoll on the socket and
// on the close event's socket.
#include "serial/commthreads.h"
#include "serial/win32_logic.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>
#include <cstring>
#include <system_error>

using tarvello::CommEventKind;
using Clock = std::chrono::steady_clock;

namespace {

// The longest the reader waits without looking at the driver's queue and error word itself,
// whatever WaitCommEvent says: a driver that misses a wake-up costs this much at most.
constexpr DWORD QueuePollMs = 100;
// A driver without comm events (WaitCommEvent not supported, as for a pseudo-terminal under
// Wine) is looked at this often instead.
constexpr DWORD NoEventPollMs = 5;
// The longest single sleep while waiting for the driver's output queue to empty.
constexpr int DrainStepMaxMs = 100;

// An event for one OVERLAPPED, closed with it.
struct OverlappedEvent {
    OverlappedEvent() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~OverlappedEvent() {
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }
    OverlappedEvent(const OverlappedEvent&) = delete;
    OverlappedEvent& operator=(const OverlappedEvent&) = delete;
    bool valid() const { return ov.hEvent != nullptr; }
    OVERLAPPED ov{};
};

uint64_t msSince(Clock::time_point then) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - then).count();
    return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

// A transfer called off by PurgeComm or CancelIo, as against a device that is gone (unplugged,
// driver stopped).
bool isAbort(DWORD error) {
    return error == ERROR_OPERATION_ABORTED;
}

// The driver has no comm events at all: the reader then looks at its queue at short intervals.
bool noCommEvents(DWORD error) {
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reader

// Chunks end exactly as on Linux (see win32::ChunkWait): the driver hands back what has arrived
// at once, and the reader keeps the chunk's clock itself. WaitCommEvent wakes it for arriving
// bytes, line errors and modem changes; ClearCommError tells what is queued and which errors
// came.
void TReadThread::run() {
    if (m_port.isNetwork()) {
        runNetwork();
        return;
    }
    const HANDLE h = static_cast<HANDLE>(m_port.handle());
    const HANDLE stop = static_cast<HANDLE>(m_stop.handle());
    uint8_t buffer[tarvello::ReadBufferSize];
    size_t count = 0;
    Clock::time_point firstByte, lastByte;

    OverlappedEvent wake;
    if (!wake.valid()) {
        m_sink.post(CommEventKind::Hangup);
        return;
    }
    bool events = SetCommMask(h, tarvello::win32::WatchedEvents) != 0;
    DWORD mask = 0;
    bool waiting = false;
    bool gone = false;

    auto flushChunk = [&] {
        if (count > 0) deliver(buffer, count);
        count = 0;
    };
    auto reportEvents = [&](DWORD eventMask) {
        const uint32_t modem = tarvello::win32::ModemBitsFromEvents(eventMask);
        if (modem != 0) m_sink.post(CommEventKind::ModemState, modem);
    };

    while (!m_stop.isSignalled()) {
        // Armed before the queue is looked at, so that a byte arriving in between still wakes us.
        if (events && !waiting) {
            mask = 0;
            ResetEvent(wake.ov.hEvent);
            if (WaitCommEvent(h, &mask, &wake.ov)) {
                reportEvents(mask);
            } else if (GetLastError() == ERROR_IO_PENDING) {
                waiting = true;
            } else if (noCommEvents(GetLastError())) {
                events = false;
            } else if (!isAbort(GetLastError())) {
                gone = true;
                break;
            }
        }

        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(h, &errors, &status)) {
            gone = true;
            break;
        }
        const uint32_t lineErrors = tarvello::win32::LineErrorsFromCommErrors(errors);
        if (lineErrors != 0) m_sink.post(CommEventKind::ReceiveError, lineErrors);

        if (status.cbInQue > 0) {
            const size_t room = tarvello::ReadBufferSize - count;
            const ssize_t n = m_port.readSome(buffer + count, std::min<size_t>(room, status.cbInQue));
            if (n < 0) {
                if (isAbort(GetLastError())) continue;  // purged
                gone = true;
                break;
            }
            size_t got = static_cast<size_t>(n);
            if (m_port.ignoreNullChar()) {
                uint8_t* begin = buffer + count;
                got = static_cast<size_t>(std::remove(begin, begin + got, uint8_t{0}) - begin);
            }
            if (got > 0) {
                m_receivedBytes += got;  // before the chunk goes: the owner may look at once
                const Clock::time_point now = Clock::now();
                if (count == 0) firstByte = now;
                lastByte = now;
                count += got;
                if (count == tarvello::ReadBufferSize) flushChunk();
            }
            if (n > 0) continue;
        }

        tarvello::CommTimeouts timeouts;
        timeouts.readInterval = m_port.readInterval();
        timeouts.readTotalMultiplier = m_port.readTotalMultiplier();
        timeouts.readTotalConstant = m_port.readTotalConstant();
        timeouts.chunkBytes = m_port.chunkBytes();
        const tarvello::win32::ChunkState state{count, count ? msSince(firstByte) : 0, count ? msSince(lastByte) : 0};
        const std::optional<uint32_t> chunkWait = tarvello::win32::ChunkWait(timeouts, state);
        if (chunkWait && *chunkWait == 0) {
            flushChunk();
            continue;
        }
        const DWORD timeout = std::min<DWORD>(chunkWait ? *chunkWait : INFINITE, events ? QueuePollMs : NoEventPollMs);
        if (events && !waiting) continue;  // the wait completed at once: look again

        const HANDLE handles[2] = {stop, wake.ov.hEvent};
        const DWORD ready = WaitForMultipleObjects(waiting ? 2 : 1, handles, FALSE, timeout);
        if (ready == WAIT_OBJECT_0) break;  // the close event wins
        if (ready == WAIT_OBJECT_0 + 1) {
            waiting = false;
            DWORD ignored = 0;
            if (GetOverlappedResult(h, &wake.ov, &ignored, FALSE)) {
                reportEvents(mask);
            } else if (!isAbort(GetLastError())) {
                gone = true;
                break;
            }
            continue;
        }
        if (ready != WAIT_TIMEOUT) {
            gone = true;
            break;
        }
    }

    if (waiting) {
        // The wait must be over before its OVERLAPPED goes: clearing the mask ends it.
        SetCommMask(h, 0);
        CancelIo(h);
        DWORD ignored = 0;
        GetOverlappedResult(h, &wake.ov, &ignored, TRUE);
    }
    if (gone && !m_stop.isSignalled()) {
        flushChunk();
        m_sink.post(CommEventKind::Hangup);
    }
    m_port.purge(true, false);
}

// A network port, as on Linux: chunks end by the same rules, a closed or reset connection is a
// hang-up, and the close event (through its socket) ends the wait at once.
void TReadThread::runNetwork() {
    namespace net = tarvello::net;
    const net::Socket socket = m_port.socket();
    const net::Socket stop = m_stop.socket();
    uint8_t buffer[tarvello::ReadBufferSize];
    size_t count = 0;
    Clock::time_point firstByte, lastByte;
    bool gone = stop == net::InvalidSocket;  // a reader that cannot be stopped must not start

    auto flushChunk = [&] {
        if (count > 0) deliver(buffer, count);
        count = 0;
    };

    while (!gone && !m_stop.isSignalled()) {
        tarvello::CommTimeouts timeouts;
        timeouts.readInterval = m_port.readInterval();
        timeouts.readTotalMultiplier = m_port.readTotalMultiplier();
        timeouts.readTotalConstant = m_port.readTotalConstant();
        timeouts.chunkBytes = m_port.chunkBytes();
        const tarvello::win32::ChunkState state{count, count ? msSince(firstByte) : 0, count ? msSince(lastByte) : 0};
        const std::optional<uint32_t> chunkWait = tarvello::win32::ChunkWait(timeouts, state);
        if (count > 0 && chunkWait && *chunkWait == 0) {
            flushChunk();
            continue;
        }
        const int timeout = count > 0 && chunkWait ? static_cast<int>(std::min<uint32_t>(*chunkWait, INT_MAX)) : -1;

        net::PollEntry fds[2] = {{stop, net::PollIn, 0}, {socket, net::PollIn, 0}};
        const int ready = net::Poll(fds, 2, timeout);
        if (ready < 0) {
            if (net::LastError() == net::Error::Interrupted) continue;
            gone = true;
            break;
        }
        if (fds[0].revents != 0 || m_stop.isSignalled()) break;  // the close event wins
        const short revents = fds[1].revents;
        if (revents & net::PollIn) {
            const ssize_t n = m_port.readSome(buffer + count, tarvello::ReadBufferSize - count);
            if (n > 0) {
                const Clock::time_point now = Clock::now();
                size_t got = static_cast<size_t>(n);
                if (m_port.ignoreNullChar()) {
                    uint8_t* begin = buffer + count;
                    got = static_cast<size_t>(std::remove(begin, begin + got, uint8_t{0}) - begin);
                }
                if (got > 0) {
                    m_receivedBytes += got;  // before the chunk goes: the owner may look at once
                    if (count == 0) firstByte = now;
                    lastByte = now;
                    count += got;
                    if (count == tarvello::ReadBufferSize) flushChunk();
                }
                continue;
            }
            const bool broken = revents & (net::PollHangup | net::PollError);
            const net::Error error = net::LastError();
            if (n < 0 && (error == net::Error::WouldBlock || error == net::Error::Interrupted) && !broken) continue;
            if (n < 0 && error == net::Error::BadSocket) break;  // closed beneath us: end quietly
            gone = true;  // read 0 (closed) or a reset: the connection is gone
            break;
        }
        if (revents & net::PollInvalid) break;
        if (revents & (net::PollHangup | net::PollError)) {
            gone = true;
            break;
        }
    }
    if (gone && !m_stop.isSignalled()) {
        flushChunk();
        m_sink.post(CommEventKind::Hangup);
    }
}

// ---------------------------------------------------------------------------------------------
// Writer

TWriteThread::~TWriteThread() {
    wait();
    if (m_wakeEvent) CloseHandle(static_cast<HANDLE>(m_wakeEvent));
}

bool TWriteThread::start() {
    m_wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto reset: one wake per look
    if (!m_wakeEvent) return false;
    try {
        m_thread = std::thread(&TWriteThread::run, this);
    } catch (const std::system_error&) {
        CloseHandle(static_cast<HANDLE>(m_wakeEvent));
        m_wakeEvent = nullptr;
        return false;
    }
    return true;
}

void TWriteThread::wakeUp() {
    SetEvent(static_cast<HANDLE>(m_wakeEvent));
}

TWriteThread::Wake TWriteThread::waitForWork() {
    m_lineFreeAt = {};  // the queue ran dry: the line has gone quiet
    const HANDLE handles[2] = {static_cast<HANDLE>(m_stop.handle()), static_cast<HANDLE>(m_wakeEvent)};
    const DWORD ready = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (ready == WAIT_OBJECT_0 || m_stop.isSignalled()) return Wake::Stop;
    return ready == WAIT_OBJECT_0 + 1 ? Wake::Work : Wake::Failed;
}

bool TWriteThread::waitForStop(int timeoutMs) {
    const DWORD ready = WaitForSingleObject(static_cast<HANDLE>(m_stop.handle()), static_cast<DWORD>(timeoutMs));
    return ready != WAIT_TIMEOUT || m_stop.isSignalled();
}

// As waitForStop, until a moment: waits end on whole milliseconds here, so each is rounded up;
// the moments themselves follow each other at the line's pace, so the rounding does not add up
// over a queue of buffers.
bool TWriteThread::waitForStopUntil(Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return m_stop.isSignalled();
        if (waitForStop(static_cast<int>(std::min<long long>(left, INT_MAX)))) return true;
    }
}

// Writes every byte, then waits until the driver has sent them, so that write-empty paces the
// sender at the speed of the line. False: stopped, or a failure (failed set: the writer must
// give up).
bool TWriteThread::writeAll(const std::vector<uint8_t>& buffer, bool& failed) {
    const Clock::time_point started = Clock::now();
    if (m_port.isNetwork()) {
        // The whole buffer in one turn at the socket; a wait for room gives way to the close
        // event through its socket.
        const tarvello::net::Socket stop = m_stop.socket();
        if (stop == tarvello::net::InvalidSocket) {
            failed = !m_stop.isSignalled();
            return false;
        }
        if (m_port.writeWhole(buffer.data(), buffer.size(), stop) < 0) {
            failed = tarvello::net::LastError() != tarvello::net::Error::Cancelled && !m_stop.isSignalled();
            return false;
        }
        return waitUntilSentOverNetwork(started, buffer.size());
    }
    const HANDLE h = static_cast<HANDLE>(m_port.handle());
    OverlappedEvent write;
    if (!write.valid()) {
        failed = true;
        return false;
    }
    size_t offset = 0;
    while (offset < buffer.size()) {
        ResetEvent(write.ov.hEvent);
        const DWORD want = static_cast<DWORD>(buffer.size() - offset);
        DWORD done = 0;
        if (!WriteFile(h, buffer.data() + offset, want, nullptr, &write.ov) && GetLastError() != ERROR_IO_PENDING) {
            failed = !isAbort(GetLastError());
            return false;
        }
        // Output held by flow control waits here as long as it takes, or until the close event.
        const HANDLE handles[2] = {static_cast<HANDLE>(m_stop.handle()), write.ov.hEvent};
        const DWORD ready = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (ready != WAIT_OBJECT_0 + 1) {
            CancelIo(h);
            GetOverlappedResult(h, &write.ov, &done, TRUE);
            failed = ready != WAIT_OBJECT_0;
            return false;
        }
        if (!GetOverlappedResult(h, &write.ov, &done, FALSE)) {
            failed = !isAbort(GetLastError());
            return false;
        }
        offset += done;
        if (done == 0 && waitForStop(1)) return false;
    }
    // The driver's queue empties while the transmitter still holds the last bytes: the buffer
    // has left only once its line time has passed too.
    return waitUntilSent() && waitOutLineTime(started, buffer.size());
}

// What the driver still holds is watched through ClearCommError; the wait gives way to the
// close event. ClearCommError also hands over (and clears) the line errors, so those it brings
// here are reported from here.
bool TWriteThread::waitUntilSent() {
    const HANDLE h = static_cast<HANDLE>(m_port.handle());
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        const bool ok = ClearCommError(h, &errors, &status);
        const uint32_t lineErrors = tarvello::win32::LineErrorsFromCommErrors(errors);
        if (ok && lineErrors != 0) m_sink.post(CommEventKind::ReceiveError, lineErrors);
        if (!ok || status.cbOutQue == 0) break;
        const uint64_t ms = uint64_t(status.cbOutQue) * m_port.byteTimeMicros() / 1000;
        if (waitForStop(static_cast<int>(std::clamp<uint64_t>(ms, 1, DrainStepMaxMs)))) return false;
    }
    return !m_stop.isSignalled();
}
