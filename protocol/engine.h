#pragma once
// The control engine: status poll, search, self-check, the write-empty
// continuation, the motion dispatcher and the bus side of re-addressing
// (single frames, moves of several devices, and the check that each
// re-addressed device answers at its new address). It owns the request state
// and the timers. It reads the rows it polls from an item model (the list the
// operator sees, in its order) and the device table through DeviceRegister;
// commands come with their arguments and results leave as signals, so it
// knows no window and runs (and is tested) without any widget.

#include <QAbstractItemModel>
#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "protocol/frames.h"
#include "protocol/motionsender.h"
#include "protocol/targets.h"
#include "protocol/txchannel.h"

// Messages the engine has for the operator; each face says them in its own way.
enum class EngineMessage {
    SearchRangeWrong,
    ConfirmSearch,
    SelectMembersFirst,
    SelfCheckPeriodWrong,
    PortClosed,
    // A listed device the register no longer holds got no Up, Down, Forward or Backward.
    TargetsNotInRegister,
    // Stop all could not reach the bus (the port is closed): the devices may still be moving; the
    // stop goes as soon as the port is back.
    StopAllNotSent,
};

// One device of a move between groups, as the re-address frame names it.
struct ReaddressMove {
    int sourceGroup = 0;
    int targetGroup = 0;
    int id = 0;     // the device's ID after the move
    int oldId = -1; // its ID before, when the move changed it too (-1: the same)
    bool operator==(const ReaddressMove&) const = default;
};

class ControlEngine : public QObject {
    Q_OBJECT
public:
    // Whether a search runs (the search button's two captions).
    enum class SearchState { Idle, Running };
    // Values of SelfCheckState.
    enum class SelfCheckPhase : uint8_t { Stopped = 0, LastUp = 1, LastDown = 2 };

    // PollID while no status query is outstanding: no answer matches it.
    static constexpr int32_t NoDevice = -1;
    static constexpr int FirstPollTimeoutMs = 500;   // first time-out after a full rebuild
    static constexpr int PollTimeoutMs = 190;        // every later time-out
    static constexpr int InitialPollTimeoutMs = 200; // until the first rebuild
    static constexpr int SearchTimeoutMs = 190;
    static constexpr int GroupFramePauseMs = 10;
    static constexpr int SingleRowBarPauseMs = 100;
    static constexpr int MinSelfCheckPeriod = 60;
    static constexpr int MaxSelfCheckPeriod = 360;
    // Fast bus: the allowance for a device to begin its answer, and the read
    // interval of the serial reader in byte times.
    static constexpr int DefaultTurnaroundMs = 30;
    static constexpr int FastReadIntervalBytes = 3;
    static constexpr int DefaultBaud = 4800;
    // At a port change the driven targets are stopped one frame each up to this many,
    // otherwise with the broadcast stop.
    static constexpr size_t MaxStopFramesAtPortChange = 16;
    // Frames of our own whose echo is looked for in what comes back.
    static constexpr size_t MaxEchoesAwaited = 4;
    // Held frames that go at once when the line is free again.
    static constexpr int FramesPerFreeLine = 8;

    ControlEngine(DeviceRegister& reg, TxChannel& tx, QObject* parent = nullptr);
    ~ControlEngine() override;

    // Shared state, public so the main window and tests can read it.
    int16_t PollIndex = 0;
    int16_t PollGroup = 0;
    int32_t PollID = NoDevice;
    int32_t SearchStart = 1, SearchEnd = HighestDeviceId, SearchCursor = 0;
    uint8_t SelfCheckState = 0;
    // The last request: CmdAskState after every status query and probe, else
    // the last motion command. Decides whether the progress bar moves.
    int16_t LastCmd = 0;
    struct { uint16_t items[1024]; int16_t count = 0, position = 0, sourceGroup = 0, targetGroup = 0; } ReaddressBatch;

    uint8_t RxBuffer[RxBufferSize] = {};

    QTimer pollTimer; // poll time-out
    QTimer probeTimer; // search probe time-out, periodic
    QTimer selfCheckTimer; // self-check period
    QTimer verifyTimer; // time-out of the query to a re-addressed device
    // Fast bus: the end of the oldest overdue answer's wait (see below).
    QTimer overdueTimer;
    // Stop all: the broadcast stop goes out once more after one answer window.
    QTimer stopRepeatTimer;
    // The answer to the last query or probe is due: see answerDue().
    QTimer answerTimer;

    // The rows the poll walks, in the order the operator sees them: the first column carries
    // DeviceIdRole and DeviceGroupRole. The model outlives the engine or is unset before it goes.
    void setRows(const QAbstractItemModel* rows);
    // Whether the port is open now (unset: closed).
    void setPortState(std::function<bool()> isOpen) { m_portOpen = std::move(isOpen); }
    // The port's count of the bytes it has received so far, including those its reader still
    // holds: an answer that has begun is known by it before its bytes are handed over. Unset:
    // only bytes handed over count.
    void setReceivedCount(std::function<uint64_t()> count) { m_receivedCount = std::move(count); }

    // The line as the engine times it, in both timings: its speed, the time a device may take
    // to begin its answer, and the receive latency of the adapter (a USB serial adapter holds
    // received bytes up to its latency timer before the PC sees them).
    void setLineTiming(int baud, int turnaroundMs, int adapterLatencyMs);
    // From the end of a query or probe on the line until the first byte of its answer could
    // have begun: the line's turnaround, two byte times and the adapter's latency.
    int answerBeginMs() const;
    // An answer is due from the moment a query or probe is handed to the port until the first
    // byte of its answer could have begun (answerBeginMs() after the query's end on the line)
    // or, once it has begun, until its last byte. On a two-wire bus a frame written meanwhile
    // would garble the answer and be garbled itself: motion and re-address frames wait (in the
    // order they were made) and go out first once it is over, ahead of the next query. A stop
    // never waits; it goes once more after the answer. An overdue answer is not due.
    bool answerDue() const { return m_answerDue; }
    // Frames held back by an answer due, not counting the rest of a press being sent.
    bool framesHeld() const { return m_continuationHeld || !m_heldReaddress.empty(); }
    // The targets the running self-check drives (chosen when it started).
    const Targets& selfCheckTargets() const { return m_selfCheckTargets; }

    // Blocking pauses of the user-interface thread (10 ms after the first
    // group frame, 100 ms before a one-row progress bar goes). Tests replace it.
    std::function<void(int ms)> Pause;

    bool searchRunning() const { return m_search == SearchState::Running; }
    SearchState searchState() const { return m_search; }
    SelfCheckPhase selfCheckPhase() const { return static_cast<SelfCheckPhase>(SelfCheckState); }
    // A re-addressed device is being asked whether it answers at its new address.
    bool verifying() const { return m_verifying.has_value(); }
    // The poll waits, at row PollIndex, for the verifications to finish.
    bool pollPaused() const { return m_pollPaused; }

    // Fast bus. Off (the default): each received chunk is taken on its own,
    // and the time-outs are the fixed ones above (500/190 ms, 190 ms a probe).
    // On: bytes are gathered across chunks and a reply is taken as soon as
    // its nine bytes are complete and check out; every time-out is what the
    // line needs, fastTimeoutMs(). The serial reader should then end a chunk
    // after fastReadIntervalMs() of silence instead of 100 ms.
    // A search probe or poll query that times out there moves the engine on
    // to the next one, but its answer stays overdue, not lost, until the
    // default timing's window for it (190 ms, 500 ms for the first poll
    // query after a rebuild) has passed since it was sent: an answer that
    // waited on the line behind another device's split or late reply is still
    // booked to the device asked (group and ID), never to another. A search
    // ends once no probe answer is overdue any more.
    void setFastBus(bool fast, int turnaroundMs = DefaultTurnaroundMs, int baud = DefaultBaud);
    bool fastBus() const { return m_fast; }
    int firstPollTimeoutMs() const { return m_firstPollTimeout; }
    int pollTimeoutMs() const { return m_pollTimeout; }
    int searchTimeoutMs() const { return m_searchTimeout; }
    // A range or period field's number; empty or non-numeric text has none.
    static std::optional<int> fieldValue(const QString& text);
    // A few byte times, rounded up to whole milliseconds.
    static int fastReadIntervalMs(int baud);
    // Query and reply on the line, the turnaround allowance and the reader's
    // interval, rounded up.
    static int fastTimeoutMs(int turnaroundMs, int baud);

    // The port reports each frame handed to it once it has left the line; the traffic log then
    // shows it. Off (the default), a frame is logged as soon as the port takes it.
    void setLogWhenWritten(bool on);
    void frameWritten();

    // Stop all: the frames waiting in the port are taken back (logged as dropped), the
    // broadcast stop is the next frame on the line and goes once more after one answer
    // window (at once when an answer comes first); the motion queues empty, the self-check and
    // a search end, a re-address batch ends with its unsent moves reported as dropped.
    void stopAll();
    bool stopAllPending() const { return stopRepeatTimer.isActive(); }
    // Frames of a press, or owed stops, still waiting to be handed to the port.
    bool motionPending() const { return m_motion.movesWaiting() || m_motion.stopsWaiting(); }
    bool pollRunning() const { return pollTimer.isActive(); }
    // The range the search covers (or last covered).
    int searchStart() const { return SearchStart; }
    int searchEnd() const { return SearchEnd; }
    bool readdressBatchPending() const { return ReaddressBatch.position < ReaddressBatch.count; }
    // Nothing in hand: no poll, search, self-check, verification, answer due, held frame, stop-all
    // repeat, press or re-address batch under way.
    bool idle() const;
    // The queries' timers stop (poll, search, self-check, verification); what is owed to the line, a
    // stop-all's repeat included, goes on.
    void stopQueries();
    // Every motion frame and the stops owed: see MotionSender.
    const MotionSender& motion() const { return m_motion; }
    // Stops asked for that have not left the port, and devices set moving and not stopped since.
    Targets owedStops() const { return m_motion.owed(); }
    Targets stillMoving() const { return m_motion.moving(); }
    // Before the port in use is closed on purpose (another port picked, the program ending):
    // every queued frame is taken back, and owed stops, the stops to what the self-check and a
    // press still being sent were driving, and with `stopMoving` a stop to everything set moving
    // and not stopped since go out; everything else ends as at portClosed(). True when stop
    // frames were handed to the port. The caller lets what is on the line leave, then closes the
    // port and calls portClosed(), which names the moves that never went out.
    bool endForPortChange(bool stopMoving = false);
    // The same port is back after a loss: owed stops go first, then a stop to what was moving or
    // being driven when it was lost. True when stops went out.
    bool stopWhatMovedBeforeTheLoss();
    // The old bus is given up (another port picked): what may still be moving there, or had a
    // stop owed, is returned and forgotten; nothing of it is sent on another port.
    Targets forgetOldBus();

    // operations
    // Every timer stops: the run is ending, nothing more is asked or sent by the engine itself.
    void halt();
    // The progress of a poll round or search goes (a face rebuilding its list).
    void endProgress();
    void askState(int row);
    void probe(int id);
    void stopSearch();              // ends a running search; a running poll goes on
    // A scene (re)opened: a search still running ends properly, caption and fields included,
    // rather than being left without its time-out; the range is what the fields show.
    void resetSearch(std::optional<int> start, std::optional<int> end);
    void stopSelfCheck();
    void prepareRebuild();          // full rebuild: the first time-out is the long one
    void startPoll();               // last step of a rebuild: ask row 0
    void endSearchForGroupClick();  // group-list click: everything stops in place
    // Comm1 has closed (hang-up, or a port pick that failed to open): poll,
    // search and self-check end, nothing stays queued (re-address frames and
    // verifications included) and the bar goes.
    void portClosed();
    // The poll ends where it is: nothing its last query still brings is
    // booked, and its bar goes. Re-addressing and its verification go on.
    void stopPoll();

    // Re-addressing. group 255 with id 0 is heard by every device (forced
    // re-addressing). The frame goes out at once and into the traffic log;
    // false, with nothing logged or scheduled, when the port is closed or
    // refused the frame.
    bool sendReaddress(int group, int id, int newGroup, int newId);
    // A move of several devices from one group to another: the first frame
    // goes out at once, the others one per write-empty event. A move made
    // while another is still being sent waits behind it. False, with nothing
    // scheduled, when the port is closed or refused the first frame.
    bool sendReaddressBatch(int sourceGroup, int targetGroup, const std::vector<int>& ids);

    // handlers
    void receive(const uint8_t* buffer, uint16_t length);
    void lineIdle();
    void onPollTimeout();
    void onProbeTimeout();
    void onSelfCheckPeriod();
    void onVerifyTimeout();
    void onOverdueTimeout();
    void onStopRepeat();
    void onAnswerTimer();
    // The search button: starts a search of the IDs from..to (empty or non-numeric fields have
    // no value), after `confirm` says yes; stops a running one.
    void searchClicked(std::optional<int> from, std::optional<int> to, const std::function<bool()>& confirm);
    // The self-check button: starts driving `targets` up and down every periodSeconds; stops a
    // running self-check whatever the arguments say.
    void selfCheckClicked(std::optional<int> periodSeconds, Targets targets);
    void refreshClicked();
    // A motion button (CmdUp, CmdDown, CmdStop, CmdForward, CmdBackward) pressed for the
    // targets chosen now. Stop with nothing chosen stops every device, and ends the self-check.
    void move(uint8_t command, Targets targets);

signals:
    // The poll and the re-address check: the device at (group, id) answered, or not.
    void deviceAnswered(int group, int id);
    void deviceSilent(int group, int id);
    // A search found a device; the register has it already.
    void deviceFound(int group, int id);
    void searchRunningChanged(bool running);
    void searchProgress(int cursor, int end);
    // A wrong range or period was put back to these values.
    void searchRangeReset(int from, int to);
    void periodReset(int seconds);
    void selfCheckRunningChanged(bool running);
    // The progress of a poll round or a search: shown, moved, gone.
    void progressStarted(int maximum, int position);
    void progress(int position);
    void progressEnded();
    // Traffic: a frame sent (once the port took it, or once it left the line), the bytes of one
    // received chunk, a frame a stop-all took back before it went out.
    void frameSent(const QByteArray& bytes);
    void frameReceived(const QByteArray& bytes);
    void frameDropped(const QByteArray& bytes);
    void message(EngineMessage message);
    // Chosen devices the register no longer holds got no Up, Down, Forward or Backward.
    void targetsNotInRegister(const std::vector<int>& ids);
    // The re-addressed devices (new IDs, in the order asked) that did not answer at their new address.
    void readdressUnanswered(const std::vector<int>& ids);
    // New addresses at which more than one device (or a garbled answer) was heard.
    void readdressShared(const std::vector<std::pair<int, int>>& addresses);
    // The moves of a batch that never went out, in the order made. The register must not keep them.
    void readdressDropped(const std::vector<ReaddressMove>& moves);
    // What a motion press would reach has changed (a press, a stop-all, the self-check).
    void motionTargetsChanged();
    // For the record of who moved what: a press made for these targets (its frames are on their
    // way), a stop-all sent, one of the self-check's periodic presses, a re-address frame handed
    // to the port (group 255 with ID 0: every device), and whether a re-addressed device answered
    // at its new address.
    void pressed(uint8_t command, const Targets& targets);
    void stoppedAll();
    // A stop-all the port could not take: it is owed until the port is back.
    void stopAllRefused();
    void selfCheckStepped(uint8_t command);
    void readdressSent(int group, int id, int newGroup, int newId);
    void readdressVerified(int group, int id, bool answered);

private:
    // Each returns true when the frame was taken as the answer to the
    // request outstanding, which has moved on since.
    bool pollRule(const DecodedFrame& f);
    bool searchRule(const DecodedFrame& f);
    // Hands every frame found in the bytes to the rule in force, until one
    // is taken; returns the offset scanning stopped at (bytes.size() when a
    // frame was taken or nothing is left that could still begin one).
    size_t scanFrames(const uint8_t* bytes, size_t count, bool* taken);
    bool dispatchFrame(const uint8_t* frame9);
    void sendingQuery();
    void receiveChunk(const uint8_t* buffer, uint16_t length);
    void listenForSharedAddress(const uint8_t* bytes, size_t count);
    void searchEndSteps();
    void loadPollTarget(int row);
    void abandonPoll();
    // The poll's round ends; overdue answers to its rows may still come.
    void finishPollRound();
    void clearQueues();
    int groupOf(int id);
    // A short motion frame: encoded, handed to the port and, once the port has
    // taken it, written to the traffic log. False when the port refused it.
    bool sendMotionFrame(const MotionFrame& frame);
    MotionSender m_motion;
    // A stop-all is recorded once a broadcast stop has left the port after it.
    bool m_stopAllToRecord = false;
    void frameGone(const MotionFrame& frame);
    void logTx();
    // The port message, at most once for each user action.
    void reportPortClosed();
    void progressBarStep();
    // The rows' model, read through these.
    int rowCount() const;
    int rowId(int row) const;
    std::optional<int> rowGroup(int row) const;
    const QAbstractItemModel* m_rows = nullptr;
    std::function<bool()> m_portOpen;
    bool portOpen() const { return m_portOpen && m_portOpen(); }
    // The progress the faces show, so that it is started, moved and ended in order.
    bool m_progressShown = false;
    void setRowOnline(int row, bool online);
    // Queues the frames of a press for the targets and sends the first ones; false when the
    // port refused them.
    bool dispatchMotion(uint8_t command, const Targets& targets);
    void endSelfCheckQuietly();
    // Ends every re-address batch; the moves never sent are reported as dropped.
    void endBatches();
    // Takes back what waits in the port; each frame is logged as dropped.
    void takeBackQueuedFrames();
    void dropNewestHandedOver(size_t count);
    void reportDroppedMoves();
    std::vector<ReaddressMove> m_droppedMoves; // said once the operation that dropped them is over
    int m_portChanging = 0;
    // Every send goes through here, so the frames handed to the port are known in order.
    bool send(const CmdRecord& r, bool medium, bool logged, std::optional<ReaddressMove> move = std::nullopt,
              std::optional<MotionFrame> motion = std::nullopt);
    struct HandedOver {
        std::vector<uint8_t> bytes;
        bool logged = false;
        std::optional<ReaddressMove> move; // a frame of a batch
        std::optional<MotionFrame> motion; // a motion frame
    };
    std::deque<HandedOver> m_handedOver;
    bool m_logWhenWritten = false;
    // What is being driven now: the self-check's targets, a press still being sent (its stops
    // too), and every device while a stop-all has its second stop to send.
    Targets drivenNow() const;
    Targets m_drivenAtLoss;
    Targets m_selfCheckTargets;
    bool m_resumePollAfterStop = false;
    int m_resumePollRow = 0;
    std::vector<std::pair<int, int>> m_shared;
    bool m_sharedHeard = false;

    // poll and verification share the one outstanding request
    void askPollRow();
    void resumePoll();
    // re-addressing
    struct QueuedBatch {
        int16_t sourceGroup = 0, targetGroup = 0;
        std::vector<uint16_t> ids;
    };
    bool sendReaddressFrame(int group, uint16_t id, int newGroup, uint16_t newId, bool ofBatch = false);
    bool sendReaddressFrame(int group, uint16_t id, int newGroup, uint16_t newId, std::optional<ReaddressMove> move);
    void startBatch(QueuedBatch batch);
    bool batchSending() const;
    bool continuationPending() const;
    // verification
    bool verificationDue() const;
    void nextVerification();
    bool verifyRule(const DecodedFrame& f);
    void verificationDone(bool answered);
    void suspendVerification();
    void dropVerifications();

    DeviceRegister& m_reg;
    TxChannel& m_tx;
    SearchState m_search = SearchState::Idle;

    // One user action (a button press, a self-check step) may send several
    // frames and nest further presses; it shows the port message only once.
    class Action {
    public:
        explicit Action(ControlEngine& e);
        ~Action();
        Action(const Action&) = delete;
        Action& operator=(const Action&) = delete;

    private:
        ControlEngine& m_engine;
    };
    int m_actionDepth = 0;
    bool m_portMessageShown = false;

    // Moves that wait for the one in ReaddressBatch to be sent, in order.
    std::deque<QueuedBatch> m_queuedBatches;

    // A device asked, after its re-address frame, at its new group and ID.
    struct Verification {
        uint8_t group = 0;
        uint16_t id = 0;
        bool frameLeft = false; // a write-empty event came after its frame
    };
    std::deque<Verification> m_verifications; // in the order their frames went out
    std::optional<Verification> m_verifying;  // asked now; verifyTimer runs
    std::vector<int> m_unanswered;            // named once the last one has been asked
    bool m_pollPaused = false;

    bool m_fast = false;
    int m_firstPollTimeout = FirstPollTimeoutMs;
    int m_pollTimeout = PollTimeoutMs;
    int m_searchTimeout = SearchTimeoutMs;
    // Fast bus: received bytes not yet part of a frame taken or passed over
    // (at most the beginning of one frame).
    std::vector<uint8_t> m_pending;
    // Fast bus: queries that timed out whose answers may still come, oldest
    // first; overdueTimer runs for the first.
    struct Overdue {
        enum class Kind : uint8_t { Probe, PollRow } kind = Kind::Probe;
        uint8_t group = 0;
        uint16_t id = 0;
        int row = 0;
        QDeadlineTimer until;
    };
    std::deque<Overdue> m_overdue;
    // The default timing's window for the poll query outstanding now.
    int m_pollDefaultWindow = InitialPollTimeoutMs;
    void addOverdue(const Overdue& o, int waitMs);
    bool takeOverdue(const DecodedFrame& f);
    void dropOverdue(Overdue::Kind kind);
    bool probeOverdue() const;
    void restartOverdueTimer();
    // Counts the status queries sent, so bytes that came in before a query
    // are never joined with its answer.
    uint64_t m_queries = 0;

    // The line, as setLineTiming() gave it, and when what the engine handed to the port will
    // have left it (an estimate: each frame's bytes at the line's speed, one after the other).
    int m_baud = DefaultBaud;
    int m_turnaround = DefaultTurnaroundMs;
    int m_latency = 0;
    QDeadlineTimer m_lineFree;
    double byteMs() const;
    void bookLineTime(size_t bytes);
    // The answer window of the query just handed over (see answerDue()).
    std::function<uint64_t()> m_receivedCount;
    bool m_answerDue = false;
    bool m_answerExtended = false;
    bool m_pollQueryRefused = false; // the poll's query did not reach the port
    bool m_verdictExtended = false; // fast timing: the poll's or probe's wait, for an answer begun
    uint64_t m_receivedAtQuery = 0;
    size_t m_echoOwed = 0;        // bytes of our own still to come back as echo at the query
    // Since the port opened: bytes handed to it, taken back from it (counted high), handed over
    // by it, and left out as our own echo.
    uint64_t m_handedTotal = 0, m_purgedTotal = 0, m_deliveredTotal = 0, m_echoTotal = 0;
    size_t m_bytesSinceQuery = 0; // handed over since the query, echo left out
    size_t m_heldAtQuery = 0;     // bytes the reader held at the query: they came before it
    QElapsedTimer m_sinceQuery;
    bool answerBegun() const;
    // Fast timing: the wait for a query's or probe's answer to begin, and the further wait once
    // it has begun (its reply on the line, the reader's interval and the adapter's latency).
    int silenceWaitMs() const;
    int answerRestMs() const;
    void openAnswerWindow();
    void answerOver();
    // Frames held while an answer was due.
    bool m_continuationHeld = false;
    struct HeldReaddress {
        int group = 0;
        uint16_t id = 0;
        int newGroup = 0;
        uint16_t newId = 0;
        std::optional<ReaddressMove> move;
    };
    std::deque<HeldReaddress> m_heldReaddress;
    // Stops written while an answer was due go once more after it.
    std::vector<std::pair<uint8_t, uint16_t>> m_stopsToRepeat;
    // Sends the next frame of the continuation; false when there was none to send.
    bool continueSending();
    // A two-wire adapter hears what the PC sends: the frames handed over lately, whose copies
    // are taken out of what comes back (and learnt: m_echo).
    std::deque<std::vector<uint8_t>> m_echoExpected;
    bool m_echo = false;
    void stripEcho(std::vector<uint8_t>& bytes);
};
