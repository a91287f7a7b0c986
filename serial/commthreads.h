// Internal to the serial library: the reader and writer threads of an open TComm port.
//
// Both are given the port, the close event and the event sink before they start; both end on
// the close event. The reader posts received chunks, line errors, modem changes and hang-ups;
// the writer takes owned buffers from its queue, writes each in full, waits until the line is
// idle, posts each buffer back as written and posts write-empty when the queue has run dry.
// The writer's loop and its queue are shared by both systems (commthreads.cpp); the idle wait,
// the wake-up and the write itself are in commthreads_<os>.cpp.
#pragma once

#include "serial/commport.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class TReadThread {
public:
    // receivedBytes: the owner's count of bytes taken from the port, advanced at each read.
    TReadThread(tarvello::CommPort& port, tarvello::StopSignal& stop, tarvello::CommEventSink sink,
                std::atomic<uint64_t>& receivedBytes);
    ~TReadThread();  // waits for the thread
    TReadThread(const TReadThread&) = delete;
    TReadThread& operator=(const TReadThread&) = delete;

    bool start();  // false: the thread could not be created
    void wait();   // returns once the thread has ended (the close event must be signalled)

private:
    void run();
#ifdef _WIN32
    void runNetwork();  // a network port: the socket waited on with WSAPoll
#endif
    void deliver(const uint8_t* bytes, size_t count);

    tarvello::CommPort& m_port;
    tarvello::StopSignal& m_stop;
    tarvello::CommEventSink m_sink;
    std::atomic<uint64_t>& m_receivedBytes;
    std::thread m_thread;
};

class TWriteThread {
public:
    TWriteThread(tarvello::CommPort& port, tarvello::StopSignal& stop, tarvello::CommEventSink sink,
                 std::atomic<bool>& sendDataEmpty);
    ~TWriteThread();  // waits for the thread
    TWriteThread(const TWriteThread&) = delete;
    TWriteThread& operator=(const TWriteThread&) = delete;

    bool start();  // false: the queue signal or the thread could not be created
    void wait();
    // Hands a buffer over to the writer. False when the writer has ended (nothing is queued).
    bool post(std::vector<uint8_t> buffer);
    // Takes every buffer not yet begun out of the queue, oldest first; a buffer being written
    // finishes. Empty when the writer has ended.
    std::vector<std::vector<uint8_t>> purge();

private:
    enum class Wake { Work, Stop, Failed };
    void run();
    Wake waitForWork();  // the idle writer's wait for a hand-over or the close event
    void wakeUp();       // ends that wait
    bool writeAll(const std::vector<uint8_t>& buffer, bool& failed);
    bool waitUntilSent();
    bool waitForStop(int timeoutMs);  // true when the close event came
    bool waitUntilSentOverNetwork(std::chrono::steady_clock::time_point started, size_t bytes);
    bool waitOutLineTime(std::chrono::steady_clock::time_point started, size_t bytes);
    bool waitForStopUntil(std::chrono::steady_clock::time_point deadline);

    tarvello::CommPort& m_port;
    tarvello::StopSignal& m_stop;
    tarvello::CommEventSink m_sink;
    std::atomic<bool>& m_sendDataEmpty;

    // Guards the queue and the three flags after it, and the empty flag's transitions.
    std::mutex m_queueLock;
    std::deque<std::vector<uint8_t>> m_queue;
    bool m_ended = false;
    bool m_writing = false;          // a buffer taken from the queue is being written
    bool m_purgedWhileIdle = false;  // a purge emptied the queue with nothing being written
#ifdef _WIN32
    void* m_wakeEvent = nullptr;  // auto-reset event: wakes the idle writer
#else
    int m_wakeFd = -1;  // counts hand-overs, wakes the idle writer
#endif
    // The writer's own: when the line time of the last buffer ends (a pseudo-terminal on Linux,
    // every serial port on Windows); cleared when the queue runs dry.
    std::chrono::steady_clock::time_point m_lineFreeAt{};
    std::thread m_thread;
};
