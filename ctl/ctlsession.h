#pragma once
// One run of tarvello-ctl on the session the window also stands on (settings, log-in, the
// register of the scene, the port, the control engine). Each operation runs the event loop until
// the engine is done and reports what happened; failures are thrown as CtlError carrying the
// program's exit status.

#include "core/session.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

// Exit status of tarvello-ctl.
enum CtlExit : int {
    ExitOk = 0,
    ExitFailed = 1,       // a data file could not be read or written
    ExitUsage = 2,        // wrong arguments, or a search not confirmed
    ExitLogInRefused = 3, // no password, a wrong one, or a level too low for the command
    ExitPortError = 4,    // the port could not be opened (absent, in use) or was lost
    ExitNoAnswer = 5,     // a device did not answer
};

class CtlError : public std::runtime_error {
public:
    CtlError(int exitCode, const QString& message)
        : std::runtime_error(message.toStdString()), m_exitCode(exitCode)
    {
    }
    int exitCode() const { return m_exitCode; }

private:
    int m_exitCode;
};

struct CtlDevice {
    int id = 0;
    int group = 0;
    QString name;
    std::optional<bool> online;
};

// A frame the port took, as the devices see it.
struct CtlFrame {
    uint8_t address = 0; // 0xE0 + group, or 0xFF for every device
    uint16_t id = 0;     // 0: every device of the address
    uint8_t command = 0;
    QString hex;
};

// What a motion press put on the line. A frame counts as sent once the port has reported it
// written and gone from the line; whatever had not when the port stopped sending (no frame left
// it for FrameStallLimitMs) or was lost did not go out.
struct CtlMotionResult {
    std::vector<CtlFrame> sent;
    std::vector<CtlFrame> unsent;
    bool portLost = false;
    size_t total() const { return sent.size() + unsent.size(); }
};

struct CtlTargets {
    bool all = false;
    std::vector<int> groups;
    std::vector<int> devices;
};

class CtlSession {
public:
    // scene and port: from the command line when given, else from DB.ini as the window reads them.
    CtlSession(const QString& dataDir, std::optional<int> scene, const QString& port);
    ~CtlSession();

    // Logs in as the window's log-in does: operator, then administrator, then (advanced edition
    // only) super-user; a later match wins. Returns the level (ModeOperator, ...).
    int logIn(const QString& password);

    void openRegister();
    std::vector<CtlDevice> registeredDevices();

    // whenInUse: added to the message when the port is held by another opener.
    void openPort(const QString& whenInUse = QString());
    // The port's name as given and the device it was resolved to.
    QString portDescription() const;
    int scene() const { return m_scene; }

    std::vector<CtlDevice> poll();
    std::vector<CtlDevice> search(int from, int to);
    // command: CmdUp, CmdDown, CmdStop, CmdForward or CmdBackward.
    CtlMotionResult move(uint8_t command, const CtlTargets& targets);
    // The broadcast stop, and once more after one answer window. Needs no log-in and no register.
    CtlMotionResult stopAll();
    // True when the device answered at its new address.
    bool readdress(int group, int id, int newGroup, int newId);

    // A frame takes under 20 ms on the line at 4800 baud (a device server adds its round trip):
    // a port that has let no frame go for this long has stopped sending.
    static constexpr int FrameStallLimitMs = 2000;

private:
    // Waits while the frames of a press keep leaving the port, then tells the planned ones
    // that left (handed over from m_handed[before] on) from those that did not.
    CtlMotionResult waitForFrames(size_t before, std::vector<CtlFrame> planned);
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
        CtlFrame frame; // of a frame at least as long as a short one
        bool left = false;
    };
    std::vector<Handed> m_handed;
    size_t m_framesLeft = 0;
    bool m_portLost = false;
};
