// The parts of the reader and writer threads that do not depend on the operating system; the
// loops themselves are in commthreads_<os>.cpp.
#include "serial/commthreads.h"

#include <cstring>
#include <system_error>

using tarvello::CommEventKind;

TReadThread::TReadThread(tarvello::CommPort& port, tarvello::StopSignal& stop, tarvello::CommEventSink sink)
    : m_port(port), m_stop(stop), m_sink(sink) {}

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
