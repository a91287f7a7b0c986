#pragma once
// The blocking operations of a session, each driven to completion without a window (a script, a
// benchmark, a test): it runs the event loop until the engine is done and returns what happened.

#include "core/session.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

// Why an operation could not be done. A device that does not answer is no failure: the results
// say so.
class RunError : public std::runtime_error {
public:
    enum Kind {
        DataFile,     // a data file could not be read or written, or the engine did not start
        Usage,        // wrong arguments: a range, an address, a device the register lacks
        LogInRefused, // no password, a wrong one, or a level too low for what is asked
        Port,         // the port could not be opened (absent, in use), was lost or took no frame
        InUse,        // another program works on the data directory (the window, another run)
    };

    RunError(Kind kind, const QString& message)
        : std::runtime_error(message.toStdString()), m_kind(kind)
    {
    }
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

struct RunDevice {
    int id = 0;
    int group = 0;
    QString name;
    std::optional<bool> online;
};

// A frame the port took, as the devices see it.
struct RunFrame {
    uint8_t address = 0; // 0xE0 + group, or 0xFF for every device
    uint16_t id = 0;     // 0: every device of the address
    uint8_t command = 0;
    QString hex;
};

// What a motion press put on the line. A frame counts as sent once the port has reported it
// written and gone from the line; whatever had not when the port stopped sending (no frame left
// it for FrameStallLimitMs) or was lost did not go out.
struct MotionResult {
    std::vector<RunFrame> sent;
    std::vector<RunFrame> unsent;
    bool portLost = false;
    size_t total() const { return sent.size() + unsent.size(); }
};

// What a motion press is for: every device, the groups named, or the devices named by ID.
struct MotionRequest {
    bool all = false;
    std::vector<int> groups;
    std::vector<int> devices;
};

class SessionRun {
public:
    Session& session() { return m_session; }
    // scene and port: when given, else from DB.ini as the window reads them.
    SessionRun(const QString& dataDir, std::optional<int> scene, const QString& port);
    ~SessionRun();

    // Logs in as the window's log-in does: operator, then administrator, then (advanced edition
    // only) super-user; a later match wins. Returns the level (ModeOperator, ...).
    int logIn(const QString& password);

    void openRegister();
    std::vector<RunDevice> registeredDevices();

    // whenInUse: added to the message when the port is held by another opener.
    void openPort(const QString& whenInUse = QString());
    // The port's name as given and the device it was resolved to.
    QString portDescription() const;
    int scene() const { return m_scene; }

    std::vector<RunDevice> poll();
    std::vector<RunDevice> search(int from, int to);
    // command: CmdUp, CmdDown, CmdStop, CmdForward or CmdBackward.
    MotionResult move(uint8_t command, const MotionRequest& targets);
    // The broadcast stop, and once more after one answer window. Needs no log-in and no register.
    MotionResult stopAll();
    // True when the device answered at its new address.
    bool readdress(int group, int id, int newGroup, int newId);

    // From a signal's handler (through the event loop): the operation under way ends at once,
    // with what it has so far.
    void interrupt() { m_interrupted = true; }
    bool interrupted() const { return m_interrupted; }

    // A frame takes under 20 ms on the line at 4800 baud (a device server adds its round trip):
    // a port that has let no frame go for this long has stopped sending.
    static constexpr int FrameStallLimitMs = 2000;

private:
    // Waits while the frames of a press keep leaving the port, then tells the planned ones
    // that left (handed over from m_handed[before] on) from those that did not.
    MotionResult waitForFrames(size_t before, std::vector<RunFrame> planned);
    bool runUntil(const std::function<bool()>& done, int timeoutMs);
    void loadRows();
    void throwTableErrors();
    void throwIfPortLost();

    Session m_session;
    int m_scene = 1;
    QString m_portName;
    QStringList m_tableErrors;
    TPasswordStore& m_passwords;
    TRegister& m_register;
    TComm& m_comm;
    ControlEngine& m_engine;
    // The devices the engine polls, and what it said.
    DeviceModel& m_rows;
    std::vector<EngineMessage> m_messages;
    std::vector<std::pair<int, int>> m_searched; // (id, group), in the order found
    bool m_unansweredReported = false;
    bool told(EngineMessage message) const;
    // Every buffer the port took, in order, and whether it has reported it gone from the line.
    struct Handed {
        std::vector<uint8_t> bytes;
        RunFrame frame; // of a frame at least as long as a short one
        bool left = false;
    };
    std::vector<Handed> m_handed;
    size_t m_framesLeft = 0;
    bool m_portLost = false;
    bool m_interrupted = false;
};
