#include "protocol/engine.h"

#include "protocol/framereader.h"

#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

ControlEngine::ControlEngine(DeviceRegister& reg, TxChannel& tx, QObject* parent)
    : QObject(parent)
    , m_reg(reg)
    , m_tx(tx)
    , m_motion([this](const MotionFrame& f) { return sendMotionFrame(f); })
{
    m_motion.afterGroupFrame = [this] {
        if (Pause)
            Pause(GroupFramePauseMs);
    };
    std::memset(ReaddressBatch.items, 0, sizeof ReaddressBatch.items);

    Pause = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };

    // The time-outs decide on-line/off-line and whether an ID is present, so
    // they must not be coarsened by the timer system.
    for (QTimer* t : { &pollTimer, &probeTimer, &selfCheckTimer, &verifyTimer, &overdueTimer, &stopRepeatTimer, &answerTimer })
        t->setTimerType(Qt::PreciseTimer);
    overdueTimer.setSingleShot(true);
    stopRepeatTimer.setSingleShot(true);
    answerTimer.setSingleShot(true);
    pollTimer.setInterval(InitialPollTimeoutMs);
    probeTimer.setInterval(SearchTimeoutMs);
    selfCheckTimer.setInterval(MinSelfCheckPeriod * 1000);
    // A re-addressed device is asked once and gets the first poll's long window: a device
    // server on the network adds its own delay both ways, and a device that answers a little
    // late must not be reported as lost at its new address.
    verifyTimer.setInterval(FirstPollTimeoutMs);

    connect(&pollTimer, &QTimer::timeout, this, &ControlEngine::onPollTimeout);
    connect(&probeTimer, &QTimer::timeout, this, &ControlEngine::onProbeTimeout);
    connect(&selfCheckTimer, &QTimer::timeout, this, &ControlEngine::onSelfCheckPeriod);
    connect(&verifyTimer, &QTimer::timeout, this, &ControlEngine::onVerifyTimeout);
    connect(&overdueTimer, &QTimer::timeout, this, &ControlEngine::onOverdueTimeout);
    connect(&stopRepeatTimer, &QTimer::timeout, this, &ControlEngine::onStopRepeat);
    connect(&answerTimer, &QTimer::timeout, this, &ControlEngine::onAnswerTimer);
}

ControlEngine::~ControlEngine() = default;

std::optional<int> ControlEngine::fieldValue(const QString& text)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok)
        return std::nullopt;
    return v;
}

ControlEngine::Action::Action(ControlEngine& e)
    : m_engine(e)
{
    if (m_engine.m_actionDepth++ == 0)
        m_engine.m_portMessageShown = false;
}

ControlEngine::Action::~Action() { --m_engine.m_actionDepth; }

// ---------------------------------------------------------------- helpers

void ControlEngine::setRows(const QAbstractItemModel* rows)
{
    m_rows = rows;
}

int ControlEngine::rowCount() const
{
    return m_rows ? m_rows->rowCount() : 0;
}

int ControlEngine::rowId(int row) const
{
    return m_rows ? m_rows->index(row, 0).data(DeviceIdRole).toInt() : 0;
}

std::optional<int> ControlEngine::rowGroup(int row) const
{
    const QVariant group = m_rows ? m_rows->index(row, 0).data(DeviceGroupRole) : QVariant();
    if (!group.isValid())
        return std::nullopt;
    return group.toInt();
}

// The row's device, under the group the row holds for it (no look-up in the register: a failing
// table must not bring a message for every row marked).
void ControlEngine::setRowOnline(int row, bool online)
{
    const int id = rowId(row);
    const int group = rowGroup(row).value_or(-1);
    if (online)
        emit deviceAnswered(group, id);
    else
        emit deviceSilent(group, id);
}

void ControlEngine::endProgress()
{
    if (std::exchange(m_progressShown, false))
        emit progressEnded();
}

int ControlEngine::groupOf(int id)
{
    // A listed ID missing from the table (the list and the table are built
    // from the same records, so only after an outside change) has no address:
    // -1, and nothing is sent to a guessed group.
    return m_reg.groupOfDevice(id).value_or(-1);
}

void ControlEngine::loadPollTarget(int row)
{
    const int id = rowId(row);
    PollID = id;
    int group = groupOf(id);
    if (group < 0)
        group = rowGroup(row).value_or(-1);
    PollGroup = static_cast<int16_t>(group);
}

// The poll's outstanding query, if any, is given up whole: no answer or
// time-out that still comes can be booked to any row.
void ControlEngine::abandonPoll()
{
    finishPollRound();
    dropOverdue(Overdue::Kind::PollRow);
}

void ControlEngine::finishPollRound()
{
    pollTimer.stop();
    PollIndex = 0;
    PollID = NoDevice;
    m_pollPaused = false; // a poll waiting for verifications does not come back either
}

void ControlEngine::clearQueues()
{
    m_motion.dropMoves();
    endBatches();
    m_continuationHeld = false;
}

bool ControlEngine::send(const CmdRecord& r, bool medium, bool logged, std::optional<ReaddressMove> move,
                         std::optional<MotionFrame> motion)
{
    m_tx.TxLength = medium ? MediumFrameLength : ShortFrameLength;
    // The log shows what went out, so a frame the port refused is not in it.
    if (!(medium ? m_tx.sendMedium(r) : m_tx.sendShort(r)))
        return false;
    const size_t length = size_t(std::clamp<int>(m_tx.TxLength, 0, TxBufferSize));
    bookLineTime(length);
    m_handedTotal += length;
    m_echoExpected.emplace_back(m_tx.TxBuffer, m_tx.TxBuffer + length);
    if (m_echoExpected.size() > MaxEchoesAwaited)
        m_echoExpected.pop_front();
    if (m_logWhenWritten) {
        const int n = std::clamp<int>(m_tx.TxLength, 0, TxBufferSize);
        m_handedOver.push_back(HandedOver { { m_tx.TxBuffer, m_tx.TxBuffer + n }, logged, move, motion });
    } else {
        if (logged)
            logTx();
        // No report of the frames that left comes: what the port took counts as gone.
        if (motion)
            frameGone(*motion);
    }
    return true;
}

void ControlEngine::frameGone(const MotionFrame& frame)
{
    m_motion.frameLeft(frame);
    // A stop-all is recorded once its stop has left the port, not when it was handed over.
    if (m_stopAllToRecord && frame.command == CmdStop && frame.group == BroadcastGroup) {
        m_stopAllToRecord = false;
        emit stoppedAll();
    }
}

bool ControlEngine::sendMotionFrame(const MotionFrame& frame)
{
    CmdRecord r;
    r.group = frame.group;
    r.id = frame.id;
    r.command = frame.command;
    if (!send(r, false, true, std::nullopt, frame))
        return false;
    // A stop never waits for an answer due, so the answer may swallow it: it goes once more.
    const std::pair<uint8_t, uint16_t> target { frame.group, frame.id };
    if (frame.command == CmdStop && m_answerDue
        && std::find(m_stopsToRepeat.begin(), m_stopsToRepeat.end(), target) == m_stopsToRepeat.end())
        m_stopsToRepeat.push_back(target);
    return true;
}

void ControlEngine::setLogWhenWritten(bool on)
{
    m_logWhenWritten = on;
    m_handedOver.clear();
}

void ControlEngine::frameWritten()
{
    if (m_handedOver.empty())
        return;
    const HandedOver done = std::move(m_handedOver.front());
    m_handedOver.pop_front();
    if (done.logged)
        emit frameSent(QByteArray(reinterpret_cast<const char*>(done.bytes.data()), qsizetype(done.bytes.size())));
    if (done.motion)
        frameGone(*done.motion);
}

void ControlEngine::takeBackQueuedFrames()
{
    const size_t purged = m_tx.Purge ? m_tx.Purge() : 0;
    // Their echo never comes; counted as the longest frames.
    m_purgedTotal += purged * size_t(MediumFrameLength);
    dropNewestHandedOver(purged);
}

void ControlEngine::dropNewestHandedOver(size_t purged)
{
    if (!m_logWhenWritten)
        return;
    // The frames taken back are the newest ones handed over.
    std::vector<HandedOver> back;
    for (size_t k = 0; k < purged && !m_handedOver.empty(); ++k) {
        back.push_back(std::move(m_handedOver.back()));
        m_handedOver.pop_back();
    }
    // Stops taken back go again in the order they were handed over: given back newest first.
    for (const HandedOver& h : back)
        if (h.motion)
            m_motion.frameTakenBack(*h.motion);
    for (auto it = back.rbegin(); it != back.rend(); ++it) {
        if (it->logged)
            emit frameDropped(QByteArray(reinterpret_cast<const char*>(it->bytes.data()), qsizetype(it->bytes.size())));
        if (it->move) {
            m_droppedMoves.push_back(*it->move);
            // A device that never heard its frame is not asked at its new address.
            const ReaddressMove m = *it->move;
            std::erase_if(m_verifications, [m](const Verification& v) {
                return v.group == (m.targetGroup & 0x0F) && v.id == m.id;
            });
        }
    }
}

void ControlEngine::reportDroppedMoves()
{
    if (m_droppedMoves.empty())
        return;
    const std::vector<ReaddressMove> dropped = std::exchange(m_droppedMoves, {});
    emit readdressDropped(dropped);
}

void ControlEngine::endBatches()
{
    std::vector<ReaddressMove>& unsent = m_droppedMoves;
    const int batch = std::clamp<int>(ReaddressBatch.count, 0, int(std::size(ReaddressBatch.items)));
    for (int k = std::max(0, ReaddressBatch.position + 1); k < batch; ++k)
        unsent.push_back({ ReaddressBatch.sourceGroup, ReaddressBatch.targetGroup, ReaddressBatch.items[k] });
    for (const QueuedBatch& b : m_queuedBatches)
        for (uint16_t id : b.ids)
            unsent.push_back({ b.sourceGroup, b.targetGroup, id });
    for (const HeldReaddress& held : m_heldReaddress)
        if (held.move)
            unsent.push_back(*held.move);
    m_heldReaddress.clear();
    ReaddressBatch.count = ReaddressBatch.position = 0;
    m_queuedBatches.clear();
}

void ControlEngine::reportPortClosed()
{
    // Frames of the continuation belong to no press being made now: they
    // fail silently, and portClosed() clears up after them.
    if (m_actionDepth == 0 || m_portMessageShown)
        return;
    m_portMessageShown = true;
    emit message(EngineMessage::PortClosed);
}

void ControlEngine::logTx()
{
    const int n = std::clamp<int>(m_tx.TxLength, 0, TxBufferSize);
    emit frameSent(QByteArray(reinterpret_cast<const char*>(m_tx.TxBuffer), n));
}

void ControlEngine::searchEndSteps()
{
    probeTimer.stop();
    dropOverdue(Overdue::Kind::Probe);
    // A search too short for a further write-empty event would leave its bar.
    endProgress();
    SearchCursor = 0;
    m_search = SearchState::Idle;
    emit searchRunningChanged(false);
    nextVerification(); // held back by the search
}

// ---------------------------------------------------------------- replies

void ControlEngine::receive(const uint8_t* buffer, uint16_t length)
{
    emit frameReceived(QByteArray(reinterpret_cast<const char*>(buffer), buffer ? length : 0));
    if (!buffer || length == 0)
        return;
    // Our own frames, heard back through a two-wire adapter, are nobody's answer.
    m_deliveredTotal += length;
    std::vector<uint8_t> bytes(buffer, buffer + length);
    // The bytes the reader already held when the last query was handed over came before it: they
    // are no part of its answer, whatever chunk brings them.
    const size_t before = std::min<size_t>(m_heldAtQuery, length);
    m_heldAtQuery -= before;
    stripEcho(bytes);
    if (bytes.empty())
        return;
    // Counted low when stale bytes were echo too: a whole answer is then known by its time-out.
    m_bytesSinceQuery += bytes.size() > before ? bytes.size() - before : 0;
    if (m_verifying)
        listenForSharedAddress(bytes.data(), bytes.size());
    receiveChunk(bytes.data(), static_cast<uint16_t>(bytes.size()));
    // A whole answer's bytes have come, taken or not (a poll given up meanwhile): it is over.
    if (m_answerDue && m_bytesSinceQuery >= size_t(ShortFrameLength))
        answerOver();
    // The answer that was on its way has come: the stop-all's second stop follows it.
    if (stopRepeatTimer.isActive())
        onStopRepeat();
}

void ControlEngine::stripEcho(std::vector<uint8_t>& bytes)
{
    // Only a whole frame is taken for an echo (an answer begins with the same header, but no
    // answer is a copy of a frame sent), wherever it stands: in the default timing one chunk
    // may hold the query's echo, the answer, and the echo of a frame sent after it.
    for (size_t k = 0; k < m_echoExpected.size() && !bytes.empty();) {
        const std::vector<uint8_t>& sent = m_echoExpected[k];
        const auto at = std::search(bytes.begin(), bytes.end(), sent.begin(), sent.end());
        if (at == bytes.end()) {
            ++k;
            continue;
        }
        bytes.erase(at, at + std::ptrdiff_t(sent.size()));
        m_echoTotal += sent.size();
        // The frames before it will not come back any more.
        m_echoExpected.erase(m_echoExpected.begin(), m_echoExpected.begin() + std::ptrdiff_t(k) + 1);
        m_echo = true;
        k = 0;
    }
}

// More than one answer from the re-addressed device's new address in one chunk, or a frame
// that looks like an answer but does not check out, means several devices share it now.
void ControlEngine::listenForSharedAddress(const uint8_t* bytes, size_t count)
{
    int answers = 0;
    bool garbled = false;
    for (size_t p = 0; p + 3 <= count; ++p) {
        if (bytes[p] != FrameHeader0 || bytes[p + 1] != FrameHeader1 || bytes[p + 2] != FrameHeader2)
            continue;
        if (count - p < size_t(ShortFrameLength))
            break; // the rest may come in the next chunk
        const DecodedFrame f = DecodeFrame(bytes + p);
        if (!f.checksumOk()) {
            // A lone broken frame is noise; within more than one frame's bytes, a collision.
            garbled = garbled || count > size_t(ShortFrameLength);
            continue;
        }
        if (f.isStatusReply() && f.group == m_verifying->group && f.id == m_verifying->id)
            ++answers;
        p += ShortFrameLength - 1;
    }
    if (answers > 1 || garbled)
        m_sharedHeard = true;
}

void ControlEngine::receiveChunk(const uint8_t* buffer, uint16_t length)
{
    if (!m_fast) {
        // Each chunk is taken on its own. A chunk too short to be a frame (a
        // line glitch, half of a split reply) is only logged: judged over the
        // bytes an earlier reply left in the buffer, it would pass for that
        // reply again. Noise ahead of a reply does not hide it: every frame
        // in the chunk is looked at, until one is taken.
        if (length < ShortFrameLength)
            return;
        const size_t kept = std::min<size_t>(length, RxBufferSize);
        std::memcpy(RxBuffer, buffer, kept);
        bool taken = false;
        scanFrames(buffer, length, &taken);
        return;
    }

    // Fast bus: the bytes join whatever is left of earlier chunks, so a reply
    // that the reader handed over in two pieces is whole again. They are taken
    // out of m_pending while the rules run (a rule may send the next query, or
    // show a message whose event loop brings the next chunk).
    std::vector<uint8_t> bytes = std::move(m_pending);
    m_pending.clear();
    bytes.insert(bytes.end(), buffer, buffer + length);
    // An echo the reader handed over in two pieces is whole again.
    stripEcho(bytes);
    const uint64_t queries = m_queries;
    bool taken = false;
    const size_t stop = scanFrames(bytes.data(), bytes.size(), &taken);
    // What came before a query cannot be part of its answer: after a frame
    // was taken, or a query went out meanwhile, the rest is dropped.
    if (taken || m_queries != queries)
        return;
    std::vector<uint8_t> tail(bytes.begin() + std::ptrdiff_t(stop), bytes.end());
    tail.insert(tail.end(), m_pending.begin(), m_pending.end());
    m_pending = std::move(tail);
}

size_t ControlEngine::scanFrames(const uint8_t* bytes, size_t count, bool* taken)
{
    return ScanFrames(bytes, count, [this](const uint8_t* frame) { return dispatchFrame(frame); }, taken);
}

bool ControlEngine::dispatchFrame(const uint8_t* frame9)
{
    if (m_fast)
        std::memcpy(RxBuffer, frame9, ShortFrameLength);
    const DecodedFrame f = DecodeFrame(frame9);
    if (!f.headerOk)
        return false;
    bool taken = false;
    if (searchRunning())
        taken = searchRule(f);
    else if (m_verifying)
        taken = verifyRule(f);
    else
        taken = pollRule(f);
    // An overdue answer is booked, but the frames behind it are still judged:
    // the answer to the query outstanding may follow it in the same chunk.
    if (!taken && !m_overdue.empty())
        takeOverdue(f);
    return taken;
}

void ControlEngine::sendingQuery()
{
    // The answer to the last query is over (taken, or its verdict given): what waited for it
    // goes ahead of the next one.
    answerOver();
    ++m_queries;
    m_pending.clear();
}

// ---------------------------------------------------------------- the answer due

void ControlEngine::setLineTiming(int baud, int turnaroundMs, int adapterLatencyMs)
{
    m_baud = baud > 0 ? baud : DefaultBaud;
    m_turnaround = std::max(0, turnaroundMs);
    m_latency = std::max(0, adapterLatencyMs);
}

double ControlEngine::byteMs() const
{
    // Ten bit times a byte.
    return 10.0 * 1000.0 / double(m_baud);
}

void ControlEngine::bookLineTime(size_t bytes)
{
    const qint64 ahead = std::max<qint64>(0, m_lineFree.remainingTimeNSecs());
    m_lineFree = QDeadlineTimer(std::chrono::nanoseconds(ahead + qint64(double(bytes) * byteMs() * 1e6)),
        Qt::PreciseTimer);
}

int ControlEngine::answerBeginMs() const
{
    return int(std::ceil(double(m_turnaround) + 2 * byteMs())) + m_latency;
}

int ControlEngine::silenceWaitMs() const
{
    // Rounded up once, so that a search of many IDs does not gather a millisecond at each.
    const double aheadMs = double(std::max<qint64>(0, m_lineFree.remainingTimeNSecs())) / 1e6;
    return int(std::ceil(aheadMs + double(m_turnaround) + 2 * byteMs())) + m_latency;
}

int ControlEngine::answerRestMs() const
{
    // The reply on the line, the reader's interval after it and the adapter's latency.
    return int(std::ceil(double(ShortFrameLength + FastReadIntervalBytes) * byteMs())) + m_latency;
}

bool ControlEngine::answerBegun() const
{
    if (m_bytesSinceQuery > 0)
        return true;
    if (!m_receivedCount)
        return false;
    const uint64_t received = m_receivedCount() - m_receivedAtQuery;
    return received > m_echoOwed;
}

void ControlEngine::openAnswerWindow()
{
    m_answerDue = true;
    m_answerExtended = false;
    m_receivedAtQuery = m_receivedCount ? m_receivedCount() : 0;
    m_heldAtQuery = m_receivedAtQuery > m_deliveredTotal ? size_t(m_receivedAtQuery - m_deliveredTotal) : 0;
    m_bytesSinceQuery = 0;
    // An echoing adapter still owes the copy of every byte handed over (the query's own included)
    // that has not come back yet, less those the reader may hold unseen. Counted low: an echo
    // byte more than owed only makes the answer look begun.
    m_echoOwed = 0;
    if (m_echo) {
        const uint64_t held = m_receivedAtQuery > m_deliveredTotal ? m_receivedAtQuery - m_deliveredTotal : 0;
        const uint64_t gone = m_echoTotal + held + m_purgedTotal;
        m_echoOwed = m_handedTotal > gone ? size_t(m_handedTotal - gone) : 0;
    }
    m_sinceQuery.start();
    answerTimer.start(silenceWaitMs());
}

void ControlEngine::onAnswerTimer()
{
    if (!m_answerExtended && answerBegun()) {
        // It has begun: it is due until its last byte.
        m_answerExtended = true;
        answerTimer.start(int(std::ceil(double(ShortFrameLength + 1) * byteMs())) + m_latency);
        return;
    }
    answerOver();
}

void ControlEngine::answerOver()
{
    answerTimer.stop();
    if (!std::exchange(m_answerDue, false))
        return;
    bool everyone = false;
    for (const auto& [group, id] : std::exchange(m_stopsToRepeat, {})) {
        // The broadcast stop's own repeat is due: it goes now, once.
        if (group == BroadcastGroup && stopRepeatTimer.isActive()) {
            everyone = true;
            continue;
        }
        sendMotionFrame(MotionFrame { group, id, CmdStop });
    }
    if (everyone)
        onStopRepeat();
    // A press to many devices goes a few frames at a time between the poll's exchanges; the next
    // query's answer is due only once they have left the line.
    if (std::exchange(m_continuationHeld, false))
        for (int k = 0; k < FramesPerFreeLine && continueSending() && !m_continuationHeld; ++k) {
        }
}

// ---------------------------------------------------------------- fast bus

int ControlEngine::fastReadIntervalMs(int baud)
{
    const int b = baud > 0 ? baud : DefaultBaud;
    // Ten bit times a byte.
    return std::max(1, (FastReadIntervalBytes * 10 * 1000 + b - 1) / b);
}

int ControlEngine::fastTimeoutMs(int turnaroundMs, int baud)
{
    const int b = baud > 0 ? baud : DefaultBaud;
    const int turnaround = std::max(0, turnaroundMs);
    // Query and reply: two short frames of ten-bit bytes.
    const int lines = (2 * ShortFrameLength * 10 * 1000 + b - 1) / b;
    return lines + turnaround + fastReadIntervalMs(b);
}

void ControlEngine::setFastBus(bool fast, int turnaroundMs, int baud)
{
    m_fast = fast;
    m_pending.clear();
    dropOverdue(Overdue::Kind::Probe);
    dropOverdue(Overdue::Kind::PollRow);
    if (fast) {
        setLineTiming(baud, turnaroundMs, m_latency);
        const int t = fastTimeoutMs(turnaroundMs, baud);
        m_firstPollTimeout = m_pollTimeout = m_searchTimeout = t;
    } else {
        m_firstPollTimeout = FirstPollTimeoutMs;
        m_pollTimeout = PollTimeoutMs;
        m_searchTimeout = SearchTimeoutMs;
    }
    // A running timer keeps its window; the next start takes the new one.
    if (!pollTimer.isActive())
        pollTimer.setInterval(fast ? m_pollTimeout : InitialPollTimeoutMs);
    if (!probeTimer.isActive())
        probeTimer.setInterval(m_searchTimeout);
    if (!verifyTimer.isActive())
        verifyTimer.setInterval(m_firstPollTimeout);
}

// An overdue answer has until the default timing's window for its query
// has passed; a chattering line cannot stretch that.
void ControlEngine::addOverdue(const Overdue& o, int waitMs)
{
    if (!m_fast || waitMs <= 0)
        return;
    Overdue entry = o;
    entry.until = QDeadlineTimer(waitMs, Qt::PreciseTimer);
    m_overdue.push_back(entry);
    if (!overdueTimer.isActive())
        restartOverdueTimer();
}

void ControlEngine::restartOverdueTimer()
{
    overdueTimer.stop();
    if (m_overdue.empty())
        return;
    overdueTimer.start(int(std::max<qint64>(0, m_overdue.front().until.remainingTime())));
}

void ControlEngine::onOverdueTimeout()
{
    overdueTimer.stop();
    if (m_overdue.empty())
        return;
    m_overdue.pop_front();
    restartOverdueTimer();
    // The search waited past its last probe only for answers still overdue.
    if (searchRunning() && SearchCursor > SearchEnd && !probeOverdue())
        searchEndSteps();
}

bool ControlEngine::takeOverdue(const DecodedFrame& f)
{
    if (!f.isStatusReply() || !f.checksumOk())
        return false;
    for (auto it = m_overdue.begin(); it != m_overdue.end(); ++it) {
        const Overdue o = *it;
        const bool probe = o.kind == Overdue::Kind::Probe;
        // A probe went to every group: its answer is known by the ID alone.
        if (f.id != o.id || (!probe && f.group != o.group) || (probe && !searchRunning()))
            continue;
        const bool first = it == m_overdue.begin();
        m_overdue.erase(it);
        if (first)
            restartOverdueTimer();
        if (probe) {
            m_reg.appendDevice(o.id, f.group);
            emit deviceFound(f.group, o.id);
            if (SearchCursor > SearchEnd && !probeOverdue())
                searchEndSteps();
        } else if (o.row >= 0 && o.row < rowCount() && rowId(o.row) == o.id) {
            setRowOnline(o.row, true);
        }
        return true;
    }
    return false;
}

void ControlEngine::dropOverdue(Overdue::Kind kind)
{
    const bool firstGone = !m_overdue.empty() && m_overdue.front().kind == kind;
    std::erase_if(m_overdue, [kind](const Overdue& o) { return o.kind == kind; });
    if (firstGone)
        restartOverdueTimer();
}

bool ControlEngine::probeOverdue() const
{
    return std::any_of(m_overdue.begin(), m_overdue.end(), [](const Overdue& o) { return o.kind == Overdue::Kind::Probe; });
}

bool ControlEngine::pollRule(const DecodedFrame& f)
{
    const int rows = rowCount();
    const bool valid = f.isStatusReply() && f.group == PollGroup && f.id == PollID && f.checksumOk();

    // Past the last row (the list shrank under a running poll) there is no
    // row to mark: the poll is given up, so a repeated answer finds nothing either.
    if (PollIndex >= rows || PollIndex < 0) {
        abandonPoll();
        nextVerification();
        return false;
    }
    if (!valid)
        return false; // the running time-out decides about the polled device

    pollTimer.stop();
    setRowOnline(PollIndex, true);
    ++PollIndex;
    if (PollIndex < rows) {
        askPollRow();
    } else {
        // The round is complete. Forget the last device, so that a repeated
        // answer from it is not taken for row 0's.
        finishPollRound();
        nextVerification();
    }
    return true;
}

bool ControlEngine::searchRule(const DecodedFrame& f)
{
    const bool valid = f.isStatusReply() && f.id == SearchCursor && f.checksumOk();
    if (!valid) {
        // The cursor stays: the probe's own time-out moves it on, so a stray
        // frame cannot make the search skip an ID.
        if (SearchCursor > SearchEnd && !probeOverdue())
            searchEndSteps();
        return false;
    }

    emit searchProgress(SearchCursor, SearchEnd);
    probeTimer.stop();
    pollTimer.stop();
    m_reg.appendDevice(SearchCursor, f.group);
    emit deviceFound(f.group, SearchCursor);

    ++SearchCursor;
    if (SearchCursor <= SearchEnd)
        probe(SearchCursor);
    else
        searchEndSteps();
    return true;
}

// ---------------------------------------------------------------- poll

void ControlEngine::askState(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    const int id = rowId(row);
    int group = groupOf(id);
    if (group < 0)
        group = rowGroup(row).value_or(-1);
    LastCmd = CmdAskState;
    sendingQuery();
    // A row with no address is not asked; its time-out marks it off line. A query the port did
    // not take asked nobody: its time-out leaves the row as it was.
    m_pollQueryRefused = false;
    if (group >= 0 && group <= MaxGroupId && id >= 1 && id <= HighestDeviceId) {
        CmdRecord r;
        r.group = static_cast<uint8_t>(group);
        r.id = static_cast<uint16_t>(id);
        r.command = CmdAskState;
        if (send(r, false, false))
            openAnswerWindow();
        else
            m_pollQueryRefused = true;
    }
    m_verdictExtended = false;
    // The fast timing knows a silent device once its answer has not begun in time.
    if (m_fast)
        pollTimer.start(silenceWaitMs());
    else
        pollTimer.start();
}

void ControlEngine::prepareRebuild()
{
    m_pollDefaultWindow = FirstPollTimeoutMs;
    pollTimer.setInterval(m_firstPollTimeout);
}

void ControlEngine::startPoll()
{
    if (rowCount() <= 0)
        return;
    pollTimer.stop();
    PollIndex = 0;
    askPollRow();
}

// The poll and the verification of re-addressed devices take turns with the
// one outstanding request, so an answer or a time-out is only ever booked to
// the device asked. A verification that is due takes the next turn: the poll
// stops before asking its next row (PollIndex) and asks it once no
// verification is due any more. The poll's query still outstanding is never
// cut short; a verification waits for its answer or its time-out.
void ControlEngine::askPollRow()
{
    if (m_verifying || verificationDue()) {
        pollTimer.stop();
        PollID = NoDevice;
        m_pollPaused = true;
        nextVerification();
        return;
    }
    loadPollTarget(PollIndex);
    askState(PollIndex);
}

void ControlEngine::resumePoll()
{
    m_pollPaused = false;
    if (PollIndex >= 0 && PollIndex < rowCount()) {
        loadPollTarget(PollIndex);
        askState(PollIndex);
    } else {
        abandonPoll(); // the list shrank meanwhile
    }
}

void ControlEngine::stopPoll()
{
    abandonPoll();
    // Its bar goes with it; a running search keeps its own.
    if (!searchRunning())
        endProgress();
    nextVerification();
}

void ControlEngine::onPollTimeout()
{
    // While the poll waits for verifications nothing of it is outstanding,
    // and its next time-out must keep the interval it was started with.
    if (m_pollPaused) {
        pollTimer.stop();
        return;
    }
    // An answer that has begun is waited for to its end.
    if (m_fast && !m_verdictExtended && PollID != NoDevice && answerBegun()) {
        m_verdictExtended = true;
        pollTimer.start(answerRestMs());
        return;
    }
    const int waited = m_fast ? int(m_sinceQuery.elapsed()) : pollTimer.interval();
    const int defaultWindow = m_pollDefaultWindow;
    pollTimer.stop();
    // Every time-out after the first one is the short one. Set before the
    // next query starts the timer so that query already gets it.
    pollTimer.setInterval(m_pollTimeout);
    m_pollDefaultWindow = PollTimeoutMs;

    const int rows = rowCount();
    // A time-out marks only the device that was asked: none is while a search
    // runs or after the poll was given up, and a row gone from the list is not
    // there to mark.
    if (searchRunning() || PollID == NoDevice || PollIndex < 0 || PollIndex >= rows) {
        abandonPoll();
        nextVerification();
        return;
    }
    const Overdue asked { Overdue::Kind::PollRow, static_cast<uint8_t>(PollGroup), static_cast<uint16_t>(PollID),
        PollIndex, {} };
    ++PollIndex;
    if (!m_pollQueryRefused) setRowOnline(PollIndex - 1, false);
    if (PollIndex < rows) {
        askPollRow();
    } else {
        // The round ends with this time-out. Its device is forgotten, so a
        // late answer from it cannot start a new round at row 0.
        finishPollRound();
        nextVerification();
    }
    addOverdue(asked, defaultWindow - waited);
}

void ControlEngine::refreshClicked()
{
    probeTimer.stop();
    stopSearch();
    // The poll starts over from row 0 with a bar of its own.
    abandonPoll();
    endProgress();
    if (rowCount() > 0)
        startPoll();
}

void ControlEngine::endSearchForGroupClick()
{
    stopSelfCheck();
    probeTimer.stop();
    abandonPoll();
    // The bar of an ended search must not stay behind, rows to poll or not.
    if (searchRunning())
        endProgress();
    m_search = SearchState::Idle;
    SearchCursor = 0;
    emit searchRunningChanged(false);
    nextVerification(); // held back by the search
}

// ---------------------------------------------------------------- search

void ControlEngine::probe(int id)
{
    if (id > SearchEnd)
        return;
    // A probe sent from the periodic tick keeps the tick's rhythm.
    if (!probeTimer.isActive())
        probeTimer.start();
    CmdRecord r;
    r.group = BroadcastGroup;
    r.id = static_cast<uint16_t>(id);
    r.command = CmdAskState;
    LastCmd = CmdAskState;
    sendingQuery();
    if (send(r, false, false))
        openAnswerWindow();
    m_verdictExtended = false;
    if (m_fast)
        probeTimer.start(silenceWaitMs());
}

void ControlEngine::searchClicked(std::optional<int> start, std::optional<int> end, const std::function<bool()>& confirm)
{
    Action press(*this);
    stopSelfCheck();
    // The poll is abandoned: the answer to a query still on its way (it can
    // arrive while the confirmation is open) must not start it again. Its
    // bar goes with it; a running search's bar goes with the search.
    abandonPoll();
    if (!searchRunning())
        endProgress();

    if (!start || !end || *start < 1 || *end < 1 || *start > HighestDeviceId || *end > HighestDeviceId
        || *start > *end) {
        emit message(EngineMessage::SearchRangeWrong);
        emit searchRangeReset(1, HighestDeviceId);
        return;
    }
    SearchStart = *start;
    SearchEnd = *end;

    if (searchRunning()) {
        // The search button doubles as the stop button of a running search.
        searchEndSteps();
        return;
    }

    // A search that could not rebuild the register must not empty it: with
    // the port closed no device would answer, and a table that cannot be
    // written could not take the answers. The register shows its own message.
    if (!portOpen()) {
        reportPortClosed();
        return;
    }
    if (!m_reg.devicesWritable())
        return;

    if (!confirm || !confirm())
        return; // the poll stays abandoned
    // The port may have gone while the question was open: the register stays as it was.
    if (!portOpen()) {
        reportPortClosed();
        return;
    }

    // The register is emptied before the first probe goes out, so no answer
    // can be entered and then wiped. If it cannot be, the search does not
    // start and the list keeps showing what the table still holds.
    if (!m_reg.emptyDevices())
        return;

    // Probes are broadcast queries: a verification's answer could pass for a
    // probe's. It is asked again once the search is over.
    suspendVerification();
    m_search = SearchState::Running;
    emit searchRunningChanged(true);
    emit searchProgress(0, SearchEnd);
    SearchCursor = SearchStart;
    probe(SearchCursor);
}

void ControlEngine::onProbeTimeout()
{
    if (!searchRunning()) {
        // A tick left over from an ended search; a poll running now is not its business.
        probeTimer.stop();
        SearchCursor = 0;
        return;
    }
    if (m_fast && !m_verdictExtended && answerBegun()) {
        m_verdictExtended = true;
        probeTimer.start(answerRestMs());
        return;
    }
    abandonPoll();
    const int waited = m_fast ? int(m_sinceQuery.elapsed()) : probeTimer.interval();
    addOverdue(Overdue { Overdue::Kind::Probe, 0, static_cast<uint16_t>(SearchCursor), 0, {} },
        SearchTimeoutMs - waited);
    ++SearchCursor;
    if (SearchCursor > SearchEnd) {
        // The last probe's answer may still be on its way behind another.
        if (probeOverdue())
            probeTimer.stop();
        else
            searchEndSteps();
    } else {
        emit searchProgress(SearchCursor, SearchEnd);
        probe(SearchCursor);
    }
}

bool ControlEngine::idle() const
{
    return !pollRunning() && !pollPaused() && !searchRunning() && selfCheckPhase() == SelfCheckPhase::Stopped
        && !verifying() && !answerDue() && !framesHeld() && !stopAllPending() && !motionPending()
        && !readdressBatchPending();
}

void ControlEngine::stopQueries()
{
    for (QTimer* t : { &pollTimer, &probeTimer, &selfCheckTimer, &verifyTimer })
        t->stop();
}

void ControlEngine::halt()
{
    for (QTimer* t : { &pollTimer, &probeTimer, &selfCheckTimer, &verifyTimer, &overdueTimer, &stopRepeatTimer, &answerTimer })
        t->stop();
}

void ControlEngine::resetSearch(std::optional<int> start, std::optional<int> end)
{
    if (searchRunning())
        stopSearch();
    probeTimer.stop();
    if (start)
        SearchStart = *start;
    if (end)
        SearchEnd = *end;
    SearchCursor = 0;
}

void ControlEngine::stopSearch()
{
    // Only a running search ends here. A poll goes on undisturbed: the
    // answer or the time-out of its outstanding query still belongs to the
    // row that was asked.
    if (searchRunning())
        searchEndSteps();
}

void ControlEngine::portClosed()
{
    // Frames the port held and never confirmed did not go out. At a port change the caller
    // first lets the frame on the line finish, then closes the port and says so here.
    if (m_portChanging == 0) {
        // A port lost under motion: what was driven is stopped once it is back.
        const Targets driven = drivenNow();
        m_drivenAtLoss.merge(driven);
        dropNewestHandedOver(m_handedOver.size());
    }
    // No answer can come through a closed port, and nothing of ours comes back.
    answerTimer.stop();
    m_answerDue = false;
    m_stopsToRepeat.clear();
    m_echoExpected.clear();
    m_lineFree = QDeadlineTimer();
    // The port counts its bytes afresh when it opens again.
    m_handedTotal = m_purgedTotal = m_deliveredTotal = m_echoTotal = 0;
    // Verifications go unreported: the port message says why.
    dropVerifications();
    stopRepeatTimer.stop();
    m_resumePollAfterStop = false;
    // Nothing can go out any more, the self-check's stop frame included.
    endSelfCheckQuietly();
    if (searchRunning())
        searchEndSteps();
    probeTimer.stop();
    SearchCursor = 0;
    abandonPoll();
    dropOverdue(Overdue::Kind::Probe);
    clearQueues();
    endProgress();
    // At a port change the stops go out before this is said.
    if (m_portChanging == 0)
        reportDroppedMoves();
}

// ---------------------------------------------------------------- continuation

void ControlEngine::lineIdle()
{
    // The writer has nothing left: every re-address frame handed over so far
    // has reached the devices, so their verifications may be asked. (An event
    // already on its way when a frame was handed over marks that frame too
    // early; its query still leaves the writer behind it.)
    for (Verification& v : m_verifications)
        v.frameLeft = true;

    const bool sent = continueSending();

    progressBarStep();
    // One frame per event: a verification query waits for an event that
    // hands over nothing else.
    if (!sent)
        nextVerification();
}

bool ControlEngine::continueSending()
{
    const int batch = std::clamp<int>(ReaddressBatch.count, 0, int(std::size(ReaddressBatch.items)));

    // Owed stops never wait; what else waits for an answer due stays queued, and the answer's end
    // sends it (answerOver).
    if (m_motion.stopsWaiting())
        return m_motion.sendOwed();
    const bool motion = m_motion.movesWaiting();
    if (m_answerDue && (motion || !m_heldReaddress.empty() || batchSending())) {
        m_continuationHeld = true;
        return true;
    }
    bool sent = true;
    if (motion) {
        m_motion.sendNext();
    } else if (!m_heldReaddress.empty()) {
        const HeldReaddress held = m_heldReaddress.front();
        m_heldReaddress.pop_front();
        sendReaddressFrame(held.group, held.id, held.newGroup, held.newId, held.move);
    } else if (ReaddressBatch.position >= -1 && ReaddressBatch.position < batch - 1) {
        // Entry 0 went out when the move was made, unless an answer due held it (position -1).
        ++ReaddressBatch.position;
        const uint16_t id = ReaddressBatch.items[ReaddressBatch.position];
        sendReaddressFrame(ReaddressBatch.sourceGroup, id, ReaddressBatch.targetGroup, id, true);
    } else if (!m_queuedBatches.empty()) {
        // The move made while the last one was being sent comes next.
        QueuedBatch next = std::move(m_queuedBatches.front());
        m_queuedBatches.pop_front();
        const uint16_t id = next.ids.front();
        startBatch(std::move(next));
        sendReaddressFrame(ReaddressBatch.sourceGroup, id, ReaddressBatch.targetGroup, id, true);
    } else {
        sent = false;
    }

    return sent;
}

void ControlEngine::progressBarStep()
{
    const int rows = rowCount();
    if (!(rows > 0 || SearchCursor > 0) || LastCmd != CmdAskState)
        return;
    // Only while a poll or a search is under way: after a completed poll,
    // other traffic (a re-address batch) must not bring the bar back.
    if (!pollTimer.isActive() && !searchRunning())
        return;

    const bool searching = searchRunning();
    if (!m_progressShown) {
        // Only the first query of a poll or the first probe of a search
        // brings the bar up.
        if ((PollIndex == 0 && SearchCursor == 0) || SearchCursor == SearchStart) {
            const int maximum = searching ? SearchEnd - SearchStart : rows;
            m_progressShown = true;
            emit progressStarted(maximum, 1);
        }
    } else if ((!searching && PollIndex < rows - 1) || (searching && SearchCursor < SearchEnd - 1)) {
        emit progress(searching ? SearchCursor - SearchStart + 2 : PollIndex + 2);
    } else {
        endProgress();
    }

    if (rows == 1 && PollIndex == 0 && SearchCursor == 0) {
        // A one-row poll would otherwise flash the bar too briefly to see.
        if (Pause)
            Pause(SingleRowBarPauseMs);
        endProgress();
    }
}

// ---------------------------------------------------------------- re-addressing

bool ControlEngine::sendReaddress(int group, int id, int newGroup, int newId)
{
    if (!portOpen())
        return false;
    // The self-check drives addresses: they are stopped before one of them changes.
    stopSelfCheck();
    std::optional<ReaddressMove> move;
    if (group != BroadcastGroup)
        move = ReaddressMove { group, newGroup, newId, newId != id ? id : -1 };
    if (m_answerDue) {
        m_heldReaddress.push_back({ group, static_cast<uint16_t>(id), newGroup, static_cast<uint16_t>(newId), move });
        m_continuationHeld = true;
        return true;
    }
    return sendReaddressFrame(group, static_cast<uint16_t>(id), newGroup, static_cast<uint16_t>(newId), move);
}

bool ControlEngine::sendReaddressBatch(int sourceGroup, int targetGroup, const std::vector<int>& ids)
{
    if (!portOpen())
        return false;
    stopSelfCheck();

    // ReaddressBatch holds 1024 IDs (more than there can be devices); a
    // longer list goes as several moves, one behind the other.
    const size_t capacity = std::size(ReaddressBatch.items);
    std::vector<QueuedBatch> parts;
    for (size_t start = 0; start < ids.size(); start += capacity) {
        QueuedBatch part;
        part.sourceGroup = static_cast<int16_t>(sourceGroup);
        part.targetGroup = static_cast<int16_t>(targetGroup);
        const size_t end = std::min(ids.size(), start + capacity);
        for (size_t k = start; k < end; ++k)
            part.ids.push_back(static_cast<uint16_t>(ids[k]));
        parts.push_back(std::move(part));
    }
    if (parts.empty())
        return true;

    // The devices of a move still being sent are already in their new group
    // in the register: its frames must all go out, so this move waits.
    if (batchSending()) {
        for (QueuedBatch& part : parts)
            m_queuedBatches.push_back(std::move(part));
        return true;
    }

    const uint16_t first = parts.front().ids.front();
    const bool hold = m_answerDue;
    if (!hold && !sendReaddressFrame(sourceGroup, first, targetGroup, first, true))
        return false;
    startBatch(std::move(parts.front()));
    if (hold) {
        ReaddressBatch.position = -1; // entry 0 goes too once the answer is over
        m_continuationHeld = true;
    }
    for (size_t i = 1; i < parts.size(); ++i)
        m_queuedBatches.push_back(std::move(parts[i]));
    return true;
}

bool ControlEngine::sendReaddressFrame(int group, uint16_t id, int newGroup, uint16_t newId, bool ofBatch)
{
    std::optional<ReaddressMove> move;
    if (ofBatch)
        move = ReaddressMove { group, newGroup, newId };
    return sendReaddressFrame(group, id, newGroup, newId, move);
}

bool ControlEngine::sendReaddressFrame(int group, uint16_t id, int newGroup, uint16_t newId,
                                       std::optional<ReaddressMove> move)
{
    CmdRecord r;
    r.group = static_cast<uint8_t>(group);
    r.id = id;
    r.command = CmdReaddress;
    r.data1 = static_cast<uint8_t>(newGroup);
    r.data2 = static_cast<uint8_t>(newId >> 8);
    r.data3 = static_cast<uint8_t>(newId & 0xFF);
    if (!send(r, true, true, move))
        return false;
    emit readdressSent(group, id, newGroup, newId);
    // ID 0 names no device of its own: a query to it would be a question to
    // the whole group, so a device given ID 0 is not asked.
    if (newId != 0)
        m_verifications.push_back(Verification { static_cast<uint8_t>(newGroup & 0x0F), newId, false });
    return true;
}

// Entry 0's frame has been sent by the caller.
void ControlEngine::startBatch(QueuedBatch batch)
{
    const size_t n = std::min(batch.ids.size(), std::size(ReaddressBatch.items));
    std::copy_n(batch.ids.begin(), n, ReaddressBatch.items);
    ReaddressBatch.count = static_cast<int16_t>(n);
    ReaddressBatch.position = 0;
    ReaddressBatch.sourceGroup = batch.sourceGroup;
    ReaddressBatch.targetGroup = batch.targetGroup;
}

bool ControlEngine::batchSending() const
{
    const int batch = std::clamp<int>(ReaddressBatch.count, 0, int(std::size(ReaddressBatch.items)));
    return (ReaddressBatch.position >= -1 && ReaddressBatch.position < batch - 1) || !m_queuedBatches.empty();
}

// Whether the write-empty continuation still has a frame to send.
bool ControlEngine::continuationPending() const
{
    return motionPending() || batchSending() || !m_heldReaddress.empty();
}

// ---------------------------------------------------------------- verification
//
// After each re-address frame the device is asked, with a status query to its
// new group and ID, whether it answers there. The query goes out once a
// write-empty event has come after the frame (the device has heard it) and the
// continuation has nothing left to send, so a move is sent whole before its
// devices are asked. One query is outstanding at a time: none while the poll
// waits for an answer (the poll steps aside at its next row instead, see
// askPollRow) and none during a search. Each answer or time-out marks the
// rows showing the new ID; the devices that stayed silent are named in one
// message once the last one has been asked.

bool ControlEngine::verificationDue() const
{
    return !m_verifications.empty() && m_verifications.front().frameLeft && !searchRunning()
        && !continuationPending();
}

void ControlEngine::nextVerification()
{
    if (m_verifying || pollTimer.isActive() || !verificationDue())
        return;
    m_verifying = m_verifications.front();
    m_verifications.pop_front();

    CmdRecord r;
    r.group = m_verifying->group;
    r.id = m_verifying->id;
    r.command = CmdAskState;
    LastCmd = CmdAskState;
    // Not logged, as the poll's queries are not. A query the port refuses is
    // decided by its time-out, as the poll's is.
    sendingQuery();
    m_sharedHeard = false;
    if (send(r, false, false))
        openAnswerWindow();
    verifyTimer.start();
}

bool ControlEngine::verifyRule(const DecodedFrame& f)
{
    const bool valid = f.isStatusReply() && f.checksumOk() && f.group == m_verifying->group
        && f.id == m_verifying->id;
    if (valid)
        verificationDone(true);
    // Anything else is not this device's answer; the time-out decides.
    return valid;
}

void ControlEngine::onVerifyTimeout()
{
    verifyTimer.stop();
    if (!m_verifying)
        return;
    // Through a closed port (the window closing) no device could have
    // answered: nothing is marked or named.
    if (!portOpen()) {
        dropVerifications();
        return;
    }
    verificationDone(false);
}

void ControlEngine::verificationDone(bool answered)
{
    verifyTimer.stop();
    const Verification done = *m_verifying;
    m_verifying.reset();
    emit readdressVerified(done.group, done.id, answered);
    // Marked at its new address, when the list shows it.
    for (int row = 0; row < rowCount(); ++row) {
        if (rowId(row) != done.id)
            continue;
        if (answered)
            emit deviceAnswered(done.group, done.id);
        else
            emit deviceSilent(done.group, done.id);
        break;
    }
    if (std::exchange(m_sharedHeard, false))
        m_shared.emplace_back(done.group, done.id);
    else if (!answered)
        m_unanswered.push_back(done.id);

    nextVerification();
    if (m_verifying)
        return;
    if (m_pollPaused)
        resumePoll();
    // Last, as the message may be modal: everything above is settled by then.
    if (m_verifications.empty() && !batchSending() && !m_shared.empty()) {
        const std::vector<std::pair<int, int>> shared = std::exchange(m_shared, {});
        emit readdressShared(shared);
    }
    if (m_verifications.empty() && !batchSending() && !m_unanswered.empty()) {
        const std::vector<int> silent = std::move(m_unanswered);
        m_unanswered.clear();
        emit readdressUnanswered(silent);
    }
}

void ControlEngine::suspendVerification()
{
    if (!m_verifying)
        return;
    verifyTimer.stop();
    m_verifications.push_front(*m_verifying);
    m_verifying.reset();
}

void ControlEngine::dropVerifications()
{
    verifyTimer.stop();
    m_verifying.reset();
    m_verifications.clear();
    m_unanswered.clear();
    m_shared.clear();
    m_sharedHeard = false;
    m_pollPaused = false;
}

// ---------------------------------------------------------------- self-check

void ControlEngine::selfCheckClicked(std::optional<int> period, Targets targets)
{
    Action press(*this);
    // The button stops a running self-check whatever the selection and the
    // period field say now; otherwise a selection lost by keyboard would
    // leave a self-check that its own button cannot end.
    if (SelfCheckState != 0) {
        stopSelfCheck();
        return;
    }

    if (targets.empty()) {
        if (targets.missing.empty())
            emit message(EngineMessage::SelectMembersFirst);
        else
            emit targetsNotInRegister(targets.missing);
        return;
    }
    if (!period || *period < MinSelfCheckPeriod || *period > MaxSelfCheckPeriod) {
        emit message(EngineMessage::SelfCheckPeriodWrong);
        emit periodReset(MinSelfCheckPeriod);
        return;
    }
    const std::vector<int> missing = std::exchange(targets.missing, {});
    // The self-check drives what was chosen now, whatever is selected later.
    m_selfCheckTargets = targets;
    selfCheckTimer.setInterval(*period * 1000);
    selfCheckTimer.start();
    SelfCheckState = static_cast<uint8_t>(SelfCheckPhase::LastUp);
    stopSearch();
    LastCmd = CmdUp;
    dispatchMotion(CmdUp, m_selfCheckTargets);
    emit selfCheckRunningChanged(true);
    emit motionTargetsChanged();
    if (!missing.empty())
        emit targetsNotInRegister(missing);
}

void ControlEngine::onSelfCheckPeriod()
{
    Action step(*this);
    uint8_t command = 0;
    switch (selfCheckPhase()) {
    case SelfCheckPhase::LastUp:
        SelfCheckState = static_cast<uint8_t>(SelfCheckPhase::LastDown);
        command = CmdDown;
        break;
    case SelfCheckPhase::LastDown:
        SelfCheckState = static_cast<uint8_t>(SelfCheckPhase::LastUp);
        command = CmdUp;
        break;
    case SelfCheckPhase::Stopped:
        return;
    }
    stopSearch();
    LastCmd = command;
    if (dispatchMotion(command, m_selfCheckTargets))
        emit selfCheckStepped(command);
}

void ControlEngine::stopSelfCheck()
{
    if (!selfCheckTimer.isActive())
        return;
    Action press(*this);
    selfCheckTimer.stop();
    SelfCheckState = static_cast<uint8_t>(SelfCheckPhase::Stopped);
    // However it ends, Stop goes to what it was driving.
    const Targets driven = std::exchange(m_selfCheckTargets, {});
    stopSearch();
    LastCmd = CmdStop;
    dispatchMotion(CmdStop, driven);
    emit selfCheckRunningChanged(false);
    emit motionTargetsChanged();
}

void ControlEngine::endSelfCheckQuietly()
{
    if (!selfCheckTimer.isActive() && SelfCheckState == 0)
        return;
    selfCheckTimer.stop();
    SelfCheckState = static_cast<uint8_t>(SelfCheckPhase::Stopped);
    m_selfCheckTargets = {};
    emit selfCheckRunningChanged(false);
    emit motionTargetsChanged();
}

// ---------------------------------------------------------------- motion

bool ControlEngine::dispatchMotion(uint8_t code, const Targets& targets)
{
    // An answer on its way is not written over: the press waits for it (a stop never does).
    const bool hold = code != CmdStop && m_answerDue && portOpen();
    const bool handed = m_motion.press(code, targets, hold);
    if (hold) {
        m_continuationHeld = true;
        return true;
    }
    if (!handed)
        reportPortClosed(); // a stop stays owed for the port's return
    return handed;
}

void ControlEngine::move(uint8_t code, Targets targets)
{
    Action press(*this);
    stopSearch();
    LastCmd = code;
    if (code == CmdStop && targets.empty()) {
        // Stop with nothing to address stops everything: a stop harms nothing.
        targets.groups.push_back(BroadcastGroup);
        targets.missing.clear();
    }
    if (code == CmdStop && SelfCheckState != 0) {
        // Stop ends the self-check too, and reaches what it drove: its next period would move
        // them again.
        targets.merge(m_selfCheckTargets);
        endSelfCheckQuietly();
    }
    if (targets.empty()) {
        m_motion.dropMoves();
        if (targets.missing.empty())
            emit message(EngineMessage::SelectMembersFirst);
        else
            emit targetsNotInRegister(targets.missing);
        emit motionTargetsChanged();
        return;
    }
    const bool everyone = code == CmdStop && targets.groups.size() == 1 && targets.groups.front() == BroadcastGroup
        && targets.devices.empty();
    if (dispatchMotion(code, targets)) {
        emit pressed(code, targets);
        // The broadcast stop goes once more one answer window later, as a stop-all's does: on a
        // two-wire line a collision can swallow the only stop.
        if (everyone)
            stopRepeatTimer.start(m_pollTimeout);
    }
    emit motionTargetsChanged();
    // Said after the frames are on their way: a stop-all while the box is open ends them.
    if (!targets.missing.empty())
        emit targetsNotInRegister(targets.missing);
}

// ---------------------------------------------------------------- stop all

void ControlEngine::stopAll()
{
    Action press(*this);
    // The stop is the first thing handed to the port: nothing queued may follow it (a queued Up
    // would restart what was stopped), and everything else is done after it.
    takeBackQueuedFrames();
    const bool sent = m_motion.stopEverything();
    m_stopAllToRecord = true; // also when it goes only once the port is back
    if (sent)
        // Devices never confirm a stop, and on a two-wire bus an answer on its way can swallow
        // it: it goes once more after that answer, or one answer window.
        stopRepeatTimer.start(m_pollTimeout);
    else
        stopRepeatTimer.stop();
    LastCmd = CmdStop;
    // A verification or the poll must not put a query between the stops.
    suspendVerification();
    endSelfCheckQuietly();
    if (searchRunning())
        searchEndSteps();
    endBatches();
    m_continuationHeld = false;
    // The poll's query may have been taken back: the poll starts again after the stops.
    if (sent && !m_resumePollAfterStop && (pollTimer.isActive() || m_pollPaused)) {
        m_resumePollAfterStop = true;
        m_resumePollRow = PollIndex;
    }
    abandonPoll();
    emit motionTargetsChanged();
    // Said once the stop is on its way.
    reportDroppedMoves();
    if (!sent) {
        m_resumePollAfterStop = false;
        // It stays owed and goes first when the port is back.
        emit stopAllRefused();
        if (m_actionDepth == 1)
            m_portMessageShown = true; // this message says more than the port's
        emit message(EngineMessage::StopAllNotSent);
    }
}

void ControlEngine::onStopRepeat()
{
    stopRepeatTimer.stop();
    Action press(*this);
    sendMotionFrame(MotionFrame { BroadcastGroup, 0, CmdStop });
    const bool resume = std::exchange(m_resumePollAfterStop, false);
    if (resume && !searchRunning() && m_resumePollRow >= 0 && m_resumePollRow < rowCount()) {
        // The round goes on at the row it was asking; that query waits behind the stops on the
        // line, so it gets the long window of a first query.
        prepareRebuild();
        pollTimer.stop();
        PollIndex = static_cast<int16_t>(m_resumePollRow);
        askPollRow();
    } else {
        nextVerification();
    }
}

Targets ControlEngine::drivenNow() const
{
    Targets driven = m_selfCheckTargets;
    if (stopRepeatTimer.isActive())
        driven.groups.push_back(BroadcastGroup);
    // A press still being sent: what it moves.
    driven.merge(m_motion.pressInFlight());
    return driven;
}

bool ControlEngine::endForPortChange(bool stopMoving)
{
    const Targets driven = drivenNow();
    // What waits in the port goes back; a stop among it is still owed and goes again below.
    takeBackQueuedFrames();
    // Everything else belonging to this port ends first, so only the stops are left to go.
    ++m_portChanging;
    portClosed();
    --m_portChanging;
    m_drivenAtLoss = {};
    if (!portOpen())
        return false;
    Action end(*this);
    // A stop-all whose first stop was taken back above still goes twice.
    const MotionFrame everyone { BroadcastGroup, 0, CmdStop };
    const bool repeatOwed = std::find(driven.groups.begin(), driven.groups.end(), BroadcastGroup) != driven.groups.end()
        && m_motion.stopWaiting(everyone);
    bool sent = m_motion.stopAll(stopMoving, driven);
    if (repeatOwed)
        sent = sendMotionFrame(everyone) || sent;
    return sent;
}

bool ControlEngine::stopWhatMovedBeforeTheLoss()
{
    Action press(*this);
    const bool everyone = m_motion.owed() == Targets { { BroadcastGroup }, {}, {} };
    const bool sent = m_motion.stopAll(true, std::exchange(m_drivenAtLoss, {}));
    // A stop-all owed since the loss goes twice, as it would have.
    if (sent && everyone)
        stopRepeatTimer.start(m_pollTimeout);
    return sent;
}

Targets ControlEngine::forgetOldBus()
{
    m_stopAllToRecord = false;
    Targets left = m_motion.forget();
    left.merge(std::exchange(m_drivenAtLoss, {}));
    return left;
}
