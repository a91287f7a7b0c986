#include "sim/bus_simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const uint8_t Header[3] = {FrameHeader0, FrameHeader1, FrameHeader2};

std::runtime_error sysError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

bool addressMatches(uint8_t address, uint8_t group)
{
    if (address == BroadcastGroup)
        return true;
    return (address & 0xF0) == 0xE0 && (address & 0x0F) == group;
}

Motion motionFor(uint8_t command, bool& isMotion)
{
    isMotion = true;
    switch (command) {
    case CmdUp: return Motion::Up;
    case CmdDown: return Motion::Down;
    case CmdStop: return Motion::Stopped;
    case CmdForward: return Motion::TiltedForward;
    case CmdBackward: return Motion::TiltedBackward;
    default: isMotion = false; return Motion::Stopped;
    }
}

} // namespace

const char* MotionName(Motion m)
{
    switch (m) {
    case Motion::Stopped: return "stopped";
    case Motion::Up: return "up";
    case Motion::Down: return "down";
    case Motion::TiltedForward: return "tilted forward";
    case Motion::TiltedBackward: return "tilted backward";
    }
    return "?";
}

BusSimulator::BusSimulator()
    : BusSimulator(Options{})
{
}

BusSimulator::BusSimulator(Options options)
    : m_options(std::move(options))
{
}

BusSimulator::~BusSimulator()
{
    stop();
}

void BusSimulator::start()
{
    if (m_running)
        return;
    m_stop = false;
    m_vanishRequested = false;
    m_vanished = false;

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0)
        throw sysError("posix_openpt");
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        auto err = sysError("pseudo-terminal set-up");
        ::close(master);
        throw err;
    }
    // Holding the slave open keeps the master from reporting a hang-up (and
    // reads from failing with EIO) while the control centre has it closed.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        auto err = sysError(std::string("open ") + name);
        ::close(master);
        throw err;
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        speed_t speed = B4800;
        switch (m_options.baud) {
        case 1200: speed = B1200; break;
        case 2400: speed = B2400; break;
        case 9600: speed = B9600; break;
        case 19200: speed = B19200; break;
        case 38400: speed = B38400; break;
        case 57600: speed = B57600; break;
        case 115200: speed = B115200; break;
        default: break;
        }
        cfsetspeed(&tio, speed);
        tcsetattr(slave, TCSANOW, &tio);
    }
    if (tcgetattr(master, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
    }
    // Opens and closes of the slave by others are counted so that the
    // exclusive mode a closing user leaves behind can be cleared, as a real
    // port forgets it on its last close.
    int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (in >= 0 && inotify_add_watch(in, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(in);
        in = -1;
    }
    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        auto err = sysError("eventfd");
        ::close(master);
        ::close(slave);
        if (in >= 0)
            ::close(in);
        throw err;
    }

    {
        std::lock_guard fdLock(m_fdMutex);
        m_master = master;
        m_keepSlave = slave;
        m_inotify = in;
        m_wakeFd = wakeFd;
    }
    {
        std::lock_guard lock(m_mutex);
        m_slavePath = name;
        m_slaveOpens = 0;
        m_countingOpens = in >= 0;
    }
    m_rx.clear();
    m_rxCollided.clear();
    m_running = true;
    m_receiver = std::thread(&BusSimulator::receiverLoop, this);
    m_transmitter = std::thread(&BusSimulator::transmitterLoop, this);
}

void BusSimulator::stop()
{
    if (!m_running)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_txWake.notify_all();
    m_changed.notify_all();
    wake();
    if (m_receiver.joinable())
        m_receiver.join();
    if (m_transmitter.joinable())
        m_transmitter.join();
    closePort();
    {
        std::lock_guard fdLock(m_fdMutex);
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
        m_wakeFd = -1;
    }
    {
        std::lock_guard lock(m_mutex);
        m_queue.clear();
        m_transmitting = false;
        m_line = LineReply{};
    }
    m_running = false;
    m_changed.notify_all();
}

std::string BusSimulator::slavePath() const
{
    std::lock_guard lock(m_mutex);
    return m_slavePath;
}

void BusSimulator::vanish()
{
    if (!m_running) {
        m_vanished = true;
        return;
    }
    m_vanishRequested = true;
    wake();
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(2), [this] { return m_vanished.load() || m_stop.load(); });
}

void BusSimulator::wake()
{
    std::lock_guard fdLock(m_fdMutex);
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        (void)!::write(m_wakeFd, &one, sizeof one);
    }
}

void BusSimulator::closePort()
{
    std::lock_guard fdLock(m_fdMutex);
    for (int* fd : {&m_master, &m_keepSlave, &m_inotify}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void BusSimulator::publish(const SimEvent& e)
{
    std::function<void(const SimEvent&)> hook;
    {
        std::lock_guard lock(m_mutex);
        hook = m_hook;
    }
    if (hook)
        hook(e);
}

void BusSimulator::setEventHook(std::function<void(const SimEvent&)> hook)
{
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

// ---- devices and settings -------------------------------------------------

void BusSimulator::addDevice(uint8_t group, uint16_t id, uint8_t replyCode, std::string name)
{
    addDevice(SimDeviceConfig{group, id, replyCode, std::move(name)});
}

void BusSimulator::addDevice(const SimDeviceConfig& config)
{
    Device d;
    d.state.group = config.group & 0x0F;
    d.state.id = config.id;
    d.state.replyCode = config.replyCode;
    d.state.name = config.name;
    std::lock_guard lock(m_mutex);
    m_devices.push_back(std::move(d));
}

int BusSimulator::removeDevice(uint8_t group, uint16_t id)
{
    std::lock_guard lock(m_mutex);
    const auto before = m_devices.size();
    std::erase_if(m_devices, [&](const Device& d) { return d.state.group == group && d.state.id == id; });
    return static_cast<int>(before - m_devices.size());
}

void BusSimulator::clearDevices()
{
    std::lock_guard lock(m_mutex);
    m_devices.clear();
}

std::vector<SimDevice> BusSimulator::devices() const
{
    std::lock_guard lock(m_mutex);
    std::vector<SimDevice> out;
    out.reserve(m_devices.size());
    for (const auto& d : m_devices)
        out.push_back(d.state);
    return out;
}

std::optional<SimDevice> BusSimulator::device(uint8_t group, uint16_t id) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& d : m_devices)
        if (d.state.group == group && d.state.id == id)
            return d.state;
    return std::nullopt;
}

template <class F> int BusSimulator::forEachAt(uint8_t group, uint16_t id, F f)
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (auto& d : m_devices) {
        if (d.state.group == group && d.state.id == id) {
            f(d.state);
            ++n;
        }
    }
    return n;
}

int BusSimulator::setFaults(uint8_t group, uint16_t id, const DeviceFaults& faults)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.faults = faults; });
}
int BusSimulator::setOffline(uint8_t group, uint16_t id, bool on)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.faults.offline = on; });
}
int BusSimulator::setBadChecksum(uint8_t group, uint16_t id, bool on)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.faults.badChecksum = on; });
}
int BusSimulator::setSplit(uint8_t group, uint16_t id, bool on)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.faults.split = on; });
}
int BusSimulator::setNoise(uint8_t group, uint16_t id, bool on)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.faults.noise = on; });
}
int BusSimulator::setWrongGroup(uint8_t group, uint16_t id, bool on)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.faults.wrongGroup = on; });
}

int BusSimulator::setLate(uint8_t group, uint16_t id, bool on)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.faults.late = on; });
}
int BusSimulator::setReplyCode(uint8_t group, uint16_t id, uint8_t code)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.replyCode = code; });
}
int BusSimulator::setMotion(uint8_t group, uint16_t id, Motion motion)
{
    return forEachAt(group, id, [&](SimDevice& d) { d.motion = motion; });
}

void BusSimulator::setBaud(uint32_t baud)
{
    std::lock_guard lock(m_mutex);
    m_options.baud = baud == 0 ? 1 : baud;
}
void BusSimulator::setTurnaround(std::chrono::milliseconds t)
{
    std::lock_guard lock(m_mutex);
    m_options.turnaround = t;
}
void BusSimulator::setSplitGap(std::chrono::milliseconds gap)
{
    std::lock_guard lock(m_mutex);
    m_options.splitGap = gap;
}
void BusSimulator::setLateBy(std::chrono::milliseconds delay)
{
    std::lock_guard lock(m_mutex);
    m_options.lateBy = delay;
}

void BusSimulator::setNoiseBytes(std::vector<uint8_t> noise)
{
    std::lock_guard lock(m_mutex);
    m_options.noise = std::move(noise);
}
void BusSimulator::setTwoWire(bool on)
{
    std::lock_guard lock(m_mutex);
    m_options.twoWire = on;
}
void BusSimulator::setEcho(bool on)
{
    std::lock_guard lock(m_mutex);
    m_options.echo = on;
}
BusSimulator::Options BusSimulator::options() const
{
    std::lock_guard lock(m_mutex);
    return m_options;
}

// ---- observation ------------------------------------------------------------

std::vector<ReceivedFrame> BusSimulator::frames() const
{
    std::lock_guard lock(m_mutex);
    return m_frames;
}
size_t BusSimulator::frameCount() const
{
    std::lock_guard lock(m_mutex);
    return m_frames.size();
}
bool BusSimulator::waitForFrames(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_frames.size() >= count; });
}
std::vector<SentReply> BusSimulator::replies() const
{
    std::lock_guard lock(m_mutex);
    return m_replies;
}
size_t BusSimulator::replyCount() const
{
    std::lock_guard lock(m_mutex);
    return m_replies.size();
}
bool BusSimulator::waitForReplies(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_replies.size() >= count; });
}
size_t BusSimulator::garbageBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_garbage;
}
size_t BusSimulator::collisions() const
{
    std::lock_guard lock(m_mutex);
    return m_collisions;
}
bool BusSimulator::waitIdle(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_queue.empty() && !m_transmitting; });
}
void BusSimulator::clearLog()
{
    std::lock_guard lock(m_mutex);
    m_frames.clear();
    m_replies.clear();
    m_garbage = 0;
    m_collisions = 0;
}

// ---- receiver -----------------------------------------------------------------

void BusSimulator::receiverLoop()
{
    uint8_t buf[512];
    while (!m_stop) {
        if (m_vanishRequested && !m_vanished) {
            closePort();
            m_vanished = true;
            {
                std::lock_guard lock(m_mutex);
                m_queue.clear();
            }
            m_changed.notify_all();
            m_txWake.notify_all();
            publish(SimEvent{SimEventKind::PortVanished, SimClock::now(), {}});
        }

        int master, in, wakeFd;
        {
            std::lock_guard fdLock(m_fdMutex);
            master = m_master;
            in = m_inotify;
            wakeFd = m_wakeFd;
        }
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = pollfd{wakeFd, POLLIN, 0};
        const nfds_t masterIx = n;
        if (master >= 0)
            fds[n++] = pollfd{master, POLLIN, 0};
        const nfds_t inIx = n;
        if (in >= 0)
            fds[n++] = pollfd{in, POLLIN, 0};

        int timeoutMs = 200;
        if (!m_rx.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_rxLast + m_options.frameTimeout - SimClock::now()); // frameTimeout is fixed after start
            timeoutMs = static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 200));
        }
        const int ready = ::poll(fds, n, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t v;
            (void)!::read(wakeFd, &v, sizeof v);
        }
        // Opens first: a new user's input is flushed before its first
        // query can be answered.
        if (ready > 0 && in >= 0 && (fds[inIx].revents & POLLIN))
            handleOpenCloseEvents();
        if (ready > 0 && master >= 0) {
            const short rev = fds[masterIx].revents;
            if (rev & POLLIN) {
                for (;;) {
                    const ssize_t got = ::read(master, buf, sizeof buf);
                    if (got > 0) {
                        feed(buf, static_cast<size_t>(got), SimClock::now());
                        continue;
                    }
                    if (got < 0 && errno == EINTR)
                        continue;
                    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // EIO: no slave open
                    break;
                }
            } else if (rev & (POLLHUP | POLLERR)) {
                // Nobody holds the slave; poll would report this at once
                // forever, so wait a little instead of spinning.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }

        if (!m_rx.empty() && SimClock::now() - m_rxLast >= m_options.frameTimeout)
            dropGarbage(m_rx.size(), SimClock::now());
    }
}

void BusSimulator::handleOpenCloseEvents()
{
    alignas(inotify_event) char buf[4096];
    for (;;) {
        int in;
        {
            std::lock_guard fdLock(m_fdMutex);
            in = m_inotify;
        }
        if (in < 0)
            return;
        const ssize_t got = ::read(in, buf, sizeof buf);
        if (got <= 0)
            return;
        for (char* p = buf; p < buf + got;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            bool firstOpen = false, lastClose = false;
            if (ev->mask & IN_OPEN)
                firstOpen = m_slaveOpens++ == 0;
            if ((ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && m_slaveOpens > 0)
                lastClose = --m_slaveOpens == 0;
            if (firstOpen || lastClose) {
                // A real port forgets its exclusive mode on the last close
                // and receives nothing while closed. The pseudo-terminal
                // stays alive through our own handle, so both are done here:
                // a reply that went out while nobody listened is not handed
                // to the next user.
                std::lock_guard fdLock(m_fdMutex);
                if (m_keepSlave >= 0) {
                    if (lastClose)
                        ioctl(m_keepSlave, TIOCNXCL);
                    tcflush(m_keepSlave, TCIFLUSH);
                }
            }
            p += sizeof(inotify_event) + ev->len;
        }
    }
}

void BusSimulator::dropGarbage(size_t n, SimClock::time_point now)
{
    if (n == 0)
        return;
    SimEvent e{SimEventKind::Garbage, now, std::vector<uint8_t>(m_rx.begin(), m_rx.begin() + n)};
    m_rx.erase(m_rx.begin(), m_rx.begin() + n);
    m_rxCollided.erase(m_rxCollided.begin(), m_rxCollided.begin() + n);
    {
        std::lock_guard lock(m_mutex);
        m_garbage += n;
    }
    publish(e);
}

bool BusSimulator::collideLocked()
{
    // The pseudo-terminal hands a write over at once, so its first byte
    // would be on the line about now. A reply not yet begun is no collision:
    // it goes out at its time after the frame. Only a reply whose bytes are
    // still going out can be hit.
    if (!m_options.twoWire || !m_line.busy || m_line.sent >= m_line.bytes.size())
        return false;
    if (!m_line.garbled) {
        // Garbled once only: a second hit must not turn the bytes back.
        m_line.garbled = true;
        for (size_t i = m_line.sent; i < m_line.bytes.size(); ++i)
            m_line.bytes[i] ^= 0xFF;
        // The last byte is always among those garbled, so the checksum
        // fails: a genuine checksum's high byte is below 4 and cannot come
        // out as 0xFC or more. Only a reply with a checksum already off by
        // one, hit on its last byte, could turn valid; that bit is flipped.
        // The reply frame is the last ShortFrameLength bytes, after any noise.
        const uint8_t* r = &*(m_line.bytes.end() - ShortFrameLength);
        if (std::equal(r, r + 3, Header) && FrameChecksum(r + 3, 4) == (r[7] << 8 | r[8]))
            m_line.bytes.back() ^= 0x01;
    }
    return true;
}

void BusSimulator::echoBack(const uint8_t* bytes, size_t n, bool garbled)
{
    std::vector<uint8_t> back(bytes, bytes + n);
    if (garbled)
        for (auto& b : back)
            b ^= 0xFF;
    std::lock_guard fdLock(m_fdMutex);
    if (m_master < 0 || (m_countingOpens && m_slaveOpens == 0))
        return;
    // As with replies, what finds no room on the far side is lost.
    size_t done = 0;
    while (done < back.size()) {
        const ssize_t w = ::write(m_master, back.data() + done, back.size() - done);
        if (w > 0)
            done += static_cast<size_t>(w);
        else if (!(w < 0 && errno == EINTR))
            break;
    }
}

void BusSimulator::feed(const uint8_t* bytes, size_t n, SimClock::time_point now)
{
    bool collided, echo, lineTime;
    uint32_t baud;
    {
        std::lock_guard lock(m_mutex);
        collided = collideLocked();
        echo = m_options.echo;
        baud = m_options.baud;
        lineTime = m_options.queryLineTime;
    }
    // The adapter's echo comes before anything the bytes may bring about.
    if (echo)
        echoBack(bytes, n, collided);
    m_rx.insert(m_rx.end(), bytes, bytes + n);
    m_rxCollided.insert(m_rxCollided.end(), n, collided);
    m_rxLast = now;
    // On a real line a frame's last byte arrives its length in byte times
    // after its first; the pseudo-terminal hands the whole frame over at once.
    // Each frame counts on its own: a real port reports its queue empty only
    // once the bytes before are on the line, so the control centre hands over
    // no frame while the line is still busy with the one before.
    const auto byteTime = std::chrono::duration_cast<SimClock::duration>(std::chrono::duration<double>(10.0 / baud));
    for (;;) {
        // Skip to the first header, keeping a tail that may be the start of one.
        size_t pos = 0;
        while (pos < m_rx.size()) {
            const size_t avail = std::min<size_t>(3, m_rx.size() - pos);
            if (std::equal(m_rx.begin() + pos, m_rx.begin() + pos + avail, Header))
                break;
            ++pos;
        }
        dropGarbage(pos, now);
        if (m_rx.size() < 7)
            return;
        const size_t len = m_rx[6] == CmdReaddress ? MediumFrameLength : ShortFrameLength;
        if (m_rx.size() < len)
            return;
        std::vector<uint8_t> frame(m_rx.begin(), m_rx.begin() + len);
        const bool hit = std::find(m_rxCollided.begin(), m_rxCollided.begin() + len, true) != m_rxCollided.begin() + len;
        m_rx.erase(m_rx.begin(), m_rx.begin() + len);
        m_rxCollided.erase(m_rxCollided.begin(), m_rxCollided.begin() + len);
        const auto heard = lineTime ? now + byteTime * static_cast<long>(len) : now;
        handleFrame(std::move(frame), now, heard, hit);
    }
}

void BusSimulator::handleFrame(std::vector<uint8_t> frame, SimClock::time_point now, SimClock::time_point heard,
                               bool collided)
{
    ReceivedFrame f;
    f.time = now;
    const int len = static_cast<int>(frame.size());
    const uint16_t sum = FrameChecksum(frame.data() + 3, len - 5);
    f.checksumOk = frame[len - 2] == (sum >> 8) && frame[len - 1] == (sum & 0xFF);
    f.address = frame[3];
    f.id = static_cast<uint16_t>(frame[4] << 8 | frame[5]);
    f.command = frame[6];
    if (len == MediumFrameLength) {
        f.data1 = frame[7];
        f.data2 = frame[8];
        f.data3 = frame[9];
    }
    f.bytes = std::move(frame);
    // A frame that collided reached the devices garbled: like one with a bad
    // checksum it is logged and not acted on.
    if (collided) {
        f.checksumOk = false;
        f.collided = true;
    }
    SimEvent e{collided ? SimEventKind::Collision : SimEventKind::FrameReceived, now, f.bytes};
    {
        std::lock_guard lock(m_mutex);
        if (collided)
            ++m_collisions;
        if (f.checksumOk)
            applyLocked(f, heard);
        m_frames.push_back(std::move(f));
    }
    m_changed.notify_all();
    m_txWake.notify_all();
    publish(e);
}

void BusSimulator::applyLocked(const ReceivedFrame& f, SimClock::time_point now)
{
    bool isMotion = false;
    const Motion motion = motionFor(f.command, isMotion);
    for (auto& dev : m_devices) {
        SimDevice& d = dev.state;
        if (d.faults.offline || !addressMatches(f.address, d.group))
            continue;
        if (f.id != 0 && f.id != d.id)
            continue;
        if (f.command == CmdAskState) {
            // A query to ID 0 would make every device talk at once; real
            // devices only answer when named.
            if (f.id != 0)
                queueReplyLocked(dev, now);
        } else if (isMotion) {
            d.motion = motion;
        } else if (f.command == CmdReaddress) {
            d.group = f.data1 & 0x0F;
            d.id = static_cast<uint16_t>(f.data2 << 8 | f.data3);
        }
    }
}

void BusSimulator::queueReplyLocked(const Device& dev, SimClock::time_point now)
{
    const SimDevice& d = dev.state;
    const uint8_t group = d.faults.wrongGroup ? static_cast<uint8_t>((d.group + 1) & 0x0F) : d.group;
    uint8_t reply[ShortFrameLength];
    EncodeShortFrame(CmdRecord{group, d.id, d.replyCode}, reply);
    if (d.faults.badChecksum) {
        const uint16_t wrong = static_cast<uint16_t>((reply[7] << 8 | reply[8]) + 1);
        reply[7] = static_cast<uint8_t>(wrong >> 8);
        reply[8] = static_cast<uint8_t>(wrong & 0xFF);
    }
    std::vector<uint8_t> all;
    if (d.faults.noise)
        all = m_options.noise;
    all.insert(all.end(), reply, reply + ShortFrameLength);

    PendingReply p;
    p.due = now + m_options.turnaround;
    if (d.faults.late)
        p.due += m_options.lateBy;
    p.group = d.group;
    p.id = d.id;
    if (d.faults.split) {
        // Break inside the frame, after the ID's high byte.
        const size_t cut = all.size() - 4;
        p.chunks.emplace_back(all.begin(), all.begin() + cut);
        p.chunks.emplace_back(all.begin() + cut, all.end());
    } else {
        p.chunks.push_back(std::move(all));
    }
    auto at = std::upper_bound(m_queue.begin(), m_queue.end(), p.due,
                               [](SimClock::time_point t, const PendingReply& q) { return t < q.due; });
    m_queue.insert(at, std::move(p));
}

// ---- transmitter ----------------------------------------------------------------

void BusSimulator::transmitterLoop()
{
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (m_queue.empty()) {
            m_txWake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            continue;
        }
        if (SimClock::now() < m_queue.front().due) {
            const auto due = m_queue.front().due;
            m_txWake.wait_until(lock, due, [&] { return m_stop.load() || m_queue.empty() || m_queue.front().due < due; });
            continue;
        }
        PendingReply p = std::move(m_queue.front());
        m_queue.pop_front();
        m_transmitting = true;
        m_line = LineReply{true, {}, 0, false};
        for (const auto& chunk : p.chunks)
            m_line.bytes.insert(m_line.bytes.end(), chunk.begin(), chunk.end());
        SentReply sent;
        sent.group = p.group;
        sent.id = p.id;
        lock.unlock();
        transmit(p, sent);
        lock.lock();
        m_transmitting = false;
        sent.collided = m_line.garbled;
        m_line = LineReply{};
        const bool wrote = !sent.bytes.empty();
        if (wrote)
            m_replies.push_back(sent);
        m_changed.notify_all();
        if (wrote) {
            lock.unlock();
            publish(SimEvent{SimEventKind::ReplySent, sent.lastByte, sent.bytes});
            lock.lock();
        }
    }
}

void BusSimulator::transmit(PendingReply& reply, SentReply& sent)
{
    uint32_t baud;
    std::chrono::milliseconds gap;
    {
        std::lock_guard lock(m_mutex);
        baud = m_options.baud;
        gap = m_options.splitGap;
    }
    // Ten bit times a byte: start bit, eight data bits, stop bit. Each byte is
    // handed over when it would have been fully received on a real line, and
    // never sooner than one byte time after the previous one, so a late
    // thread makes the reply late but never faster than the line.
    const auto byteTime = std::chrono::duration_cast<SimClock::duration>(std::chrono::duration<double>(10.0 / baud));
    auto slotStart = SimClock::now();
    SimClock::time_point previous{};
    bool first = true;
    size_t at = 0; // into m_line.bytes, which holds the chunks in a row
    for (size_t c = 0; c < reply.chunks.size(); ++c) {
        if (c > 0) {
            std::unique_lock lock(m_mutex);
            m_txWake.wait_for(lock, gap, [this] { return m_stop.load(); });
            slotStart = SimClock::now();
        }
        const auto& chunk = reply.chunks[c];
        for (size_t k = 0; k < chunk.size(); ++k) {
            if (m_stop)
                return;
            auto slot = slotStart + byteTime * static_cast<long>(k + 1);
            if (!first)
                slot = std::max(slot, previous + byteTime);
            std::this_thread::sleep_until(slot);
            // Held while the byte goes out, so a collision either garbles it
            // or comes after it.
            std::lock_guard lock(m_mutex);
            std::lock_guard fdLock(m_fdMutex);
            if (m_master < 0)
                return; // the port vanished mid-reply
            const uint8_t byte = m_line.bytes[at++];
            m_line.sent = at;
            // With nobody listening the byte is lost, as on a real line; a
            // full input queue on the far side loses it like an overrun.
            const bool listening = !m_countingOpens || m_slaveOpens > 0;
            if (!listening || ::write(m_master, &byte, 1) == 1) {
                const auto now = SimClock::now();
                if (first)
                    sent.firstByte = now;
                first = false;
                sent.lastByte = now;
                previous = now;
                sent.bytes.push_back(byte);
            }
        }
    }
}
