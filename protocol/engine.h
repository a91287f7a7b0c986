#pragma once
// The control engine: status poll, search, self-check, the write-empty
// continuation, the motion dispatcher and the bus side of re-addressing
// (single frames, moves of several devices, and the check that each
// re-addressed device answers at its new address). It owns the request state
// and the timers, and reaches the main window's lists and controls only
// through EngineView and the device table only through DeviceRegister, so it
// runs (and is tested) without any widget.

#include <QDeadlineTimer>
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
#include "protocol/txchannel.h"

// Modal messages the engine asks the window to show; the window picks the
// text in the current language.
enum class EngineMessage {
    SearchRangeWrong,
    ConfirmSearch,
    SelectMembersFirst,
    SelfCheckPeriodWrong,
    PortClosed,
    // A listed device the register no longer holds got no Up, Down, Forward or Backward.
    TargetsNotInRegister,
};

// One device of a move between groups, as the re-address frame names it.
struct ReaddressMove {
    int sourceGroup = 0;
    int targetGroup = 0;
    int id = 0;     // the device's ID after the move
    int oldId = -1; // its ID before, when the move changed it too (-1: the same)
    bool operator==(const ReaddressMove&) const = default;
};

// What the engine needs of the main window's lists and controls.
class EngineView {
public:
    virtual ~EngineView() = default;
    // device list (ListView1)
    virtual int rowCount() const = 0;
    virtual int rowId(int row) const = 0;                  // the row's ID text as an integer
    virtual void setRowOnline(int row, bool online) = 0;   // on-line / off-line image
    virtual bool rowSelected(int row) const = 0;
    virtual int selectedCount() const = 0;
    virtual void clearRows() = 0;
    virtual void addSearchedDevice(int id, int group) = 0; // adds an on-line row when GroupFilter shows that group
    // The group the row shows, as the register held it when the row was built; the address a
    // Stop still reaches when the register no longer holds the device.
    virtual std::optional<int> rowGroup(int row) const
    {
        (void)row;
        return std::nullopt;
    }
    // group check-list: entry 0 all devices, each later entry one group
    virtual int groupEntryCount() const = 0;
    // The group ID an entry >= 1 stands for.
    virtual int groupEntryGroup(int entry) const { return entry - 1; }
    virtual bool groupEntryChecked(int entry) const = 0;
    virtual int highlightedGroupEntry() const = 0;         // -1 when none
    // fields and captions
    virtual QString rangeStartText() const = 0;            // Edit1
    virtual QString rangeEndText() const = 0;              // Edit2
    virtual void setRangeTexts(const QString& start, const QString& end) = 0;
    virtual QString periodText() const = 0;                // Edit3
    virtual void setPeriodText(const QString& text) = 0;
    virtual void searchRunningChanged(bool running) = 0;     // Button3 caption, Edit1/Edit2 enabled
    virtual void selfCheckRunningChanged(bool running) = 0;  // Button4 caption
    virtual void showSearchProgress(int cursor, int end) = 0; // hint panel progress text
    // progress bar over the progress panel
    virtual bool progressBarExists() const = 0;
    virtual void createProgressBar(int maximum, int position) = 0;
    virtual void setProgressBar(int position) = 0;         // makes it visible at that position
    virtual void destroyProgressBar() = 0;
    // traffic log
    virtual void logFrame(bool transmitted, const uint8_t* bytes, int count) = 0;
    // A frame handed to the port that a stop-all took back before it went out.
    virtual void logDropped(const uint8_t* bytes, int count)
    {
        (void)bytes;
        (void)count;
    }
    // whether Comm1 is open now
    virtual bool portOpen() const = 0;
    // modal messages in the current language
    virtual void information(EngineMessage message) = 0;
    virtual bool confirm(EngineMessage message) = 0;       // true only for Yes
    // One message naming the re-addressed devices (new IDs, in the order they
    // were asked) that did not answer at their new address.
    virtual void readdressUnanswered(const std::vector<int>& ids) = 0;
    // One message naming the new addresses at which more than one device (or a garbled
    // answer) was heard: several devices now share it, and a search is needed.
    virtual void readdressShared(const std::vector<std::pair<int, int>>& addresses) { (void)addresses; }
    // The moves of a batch that never went out (the port changed or was lost, or a stop-all
    // ended the batch), in the order they were made. The register must not keep them.
    virtual void readdressDropped(const std::vector<ReaddressMove>& moves) { (void)moves; }
    // Listed devices the register no longer holds got no Up, Down, Forward or Backward.
    virtual void targetsNotInRegister(const std::vector<int>& ids)
    {
        (void)ids;
        information(EngineMessage::TargetsNotInRegister);
    }
    // What a motion press would reach has changed (a press, a stop-all, the self-check).
    virtual void motionTargetsChanged() {}
};

// The device table as the engine sees it.
class DeviceRegister {
public:
    virtual ~DeviceRegister() = default;
    virtual std::optional<int> groupOfDevice(int id) = 0;  // locate by ID
    // Whether the table can be emptied and refilled; false after the register
    // has shown its one message naming the file.
    virtual bool devicesWritable() = 0;
    // Keeps a copy of the device file, then empties the table, which stays
    // open in every case. False after the register has shown its one message.
    virtual bool emptyDevices() = 0;
    virtual void appendDevice(int id, int group) = 0;      // append + post (durable)
};

class ControlEngine : public QObject {
    Q_OBJECT
public:
    // Button3's tag.
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
    static constexpr int MaxGroupId = 15;
    // At a port change the driven targets are stopped one frame each up to this many,
    // otherwise with the broadcast stop.
    static constexpr size_t MaxStopFramesAtPortChange = 16;

    ControlEngine(EngineView& view, DeviceRegister& reg, TxChannel& tx, QObject* parent = nullptr);
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
    // Command of the group and device frames still queued by the last motion
    // press. Kept apart from LastCmd so a status query or probe sent
    // meanwhile cannot turn the rest of the press into status queries.
    uint8_t MotionCmd = 0;

    struct { uint8_t items[16]; int16_t count = 0, position = 0; } GroupQueue;
    // Each queued device with the group it is addressed at, fixed when the press was made
    // (-1: looked up in the register when its frame goes out).
    struct { uint16_t items[1024]; int16_t groups[1024]; int32_t count = 0, position = 0; } DeviceQueue;
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

    // What a motion press reaches: group frames (BroadcastGroup: every device) and device
    // frames, each at the group the register holds for the device.
    struct MotionTargets {
        std::vector<uint8_t> groups;
        std::vector<std::pair<uint8_t, uint16_t>> devices; // (group, id)
        std::vector<int> missing; // listed IDs with no address to send to
        bool empty() const { return groups.empty() && devices.empty(); }
    };
    // What a press of `command` would reach with the ticks and the selection as they are now.
    // A listed device the register no longer holds is reached only by a Stop, at the group its
    // row showed.
    MotionTargets selectedTargets(uint8_t command);
    // The targets the running self-check drives (chosen when it started).
    const MotionTargets& selfCheckTargets() const { return m_selfCheckTargets; }

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
    // Before the port in use is closed on purpose (another port picked, the program ending):
    // the self-check and a press still being sent end with a Stop to what they were driving,
    // every other queued frame is taken back, and everything else ends as at portClosed().
    // True when stop frames were handed to the port. The caller lets what is on the line leave,
    // then closes the port and calls portClosed(), which names the moves that never went out.
    bool endForPortChange();
    // The port was lost with motion under way: once the same port is back, Stop goes to what
    // was being driven (never on another port: picking one forgets it). True when stops went out.
    bool stopWhatMovedBeforeTheLoss();
    void forgetWhatMovedBeforeTheLoss() { m_drivenAtLoss = {}; }

    // operations
    void askState(int row);
    void probe(int id);
    void stopSearch();              // ends a running search; a running poll goes on
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
    void searchClicked();
    void selfCheckClicked();
    void refreshClicked();
    void forwardPressed(); // tilt forward
    void backwardPressed(); // tilt backward
    void upPressed(); // up
    void stopPressed(); // stop
    void downPressed(); // down
    void sendMotion(uint16_t command);

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
    bool sendMotionFrame(uint8_t group, uint16_t id, uint8_t command);
    void logTx();
    // The port message, at most once for each user action.
    void reportPortClosed();
    void progressBarStep();
    void motionPress(uint8_t command);
    // Queues the frames of a press for the targets and sends the first ones; false when the
    // port refused them.
    bool dispatchMotion(uint8_t command, const MotionTargets& targets);
    void clearMotionQueues();
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
    bool send(const CmdRecord& r, bool medium, bool logged, std::optional<ReaddressMove> move = std::nullopt);
    struct HandedOver {
        std::vector<uint8_t> bytes;
        bool logged = false;
        std::optional<ReaddressMove> move; // a frame of a batch
    };
    std::deque<HandedOver> m_handedOver;
    bool m_logWhenWritten = false;
    // What is being driven now: the self-check's targets, a press still being sent (its stops
    // too), and every device while a stop-all has its second stop to send.
    MotionTargets drivenNow() const;
    bool sendStops(const MotionTargets& driven);
    MotionTargets m_drivenAtLoss;
    MotionTargets m_selfCheckTargets;
    MotionTargets m_pressTargets; // of the last press, while its frames are being sent
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

    EngineView& m_view;
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
};
