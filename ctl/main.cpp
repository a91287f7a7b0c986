// tarvello-ctl: the control centre for scripts. Polls, searches, moves, stops, re-addresses and
// lists the devices of a scene with the window's engine, register, port layer and access levels,
// and reads and checks the audit record.
// Here the command line is read and the results printed; SessionRun does the work, and its
// failures are turned into the exit statuses scripts rely on.
#include "audit/auditlog.h"
#include "common/datadir.h"
#include "common/inifile.h"
#include "common/version.h"
#include "common/state.h"
#include "core/endrequests.h"
#include "core/sessionrun.h"
#include "core/stoprequests.h"
#include "columns.h"
#include "protocol/frames.h"
#include "serial/portname.h"
#include "console.h"
#include "watch.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QFileInfo>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdio>

#include <algorithm>
#include <map>
#include <optional>

namespace {

// Exit status of tarvello-ctl.
enum CtlExit : int {
    ExitOk = 0,
    ExitFailed = 1,       // a data file could not be read or written; audit --verify: the record is broken
    ExitUsage = 2,        // wrong arguments, or a search not confirmed
    ExitLogInRefused = 3, // no password, a wrong one, or a level too low for the command
    ExitPortError = 4,    // the port could not be opened (absent, in use) or was lost
    ExitNoAnswer = 5,     // a device did not answer
    ExitInUse = 6,        // the window or another tarvello-ctl works on the data directory
    ExitEnded = 7,        // a request to end the program (SIGINT, SIGTERM, SIGHUP) cut the command short
};

// A request to end the program came before the command began its work: nothing was sent.
struct EndedBeforeWork {};

void stopIfEnded()
{
    if (EndRequests::arrived())
        throw EndedBeforeWork {};
}

int exitStatus(RunError::Kind kind)
{
    switch (kind) {
    case RunError::DataFile: return ExitFailed;
    case RunError::Usage: return ExitUsage;
    case RunError::LogInRefused: return ExitLogInRefused;
    case RunError::Port: return ExitPortError;
    case RunError::InUse: return ExitInUse;
    }
    return ExitFailed;
}

// The ports, where the program looks, and what a watch does and what ends it differ on Windows.
#ifdef _WIN32
#define CTL_WATCH \
    "  watch [--every SECONDS]       poll every SECONDS (default 10) and print the states, until\n" \
    "                                Ctrl+C or Ctrl+Break (no MQTT on Windows)\n"
#define CTL_PORT \
    "  --port NAME      the port: COM1, COM2, ..., COM10, ...; default [COM] num of DB.ini\n"
#define CTL_DATA_DIR_DEFAULT \
    "  --data-dir DIR   the data directory (the DFiles folder itself); default DFiles in the\n" \
    "                   working directory when it holds one, else DFiles beside the program\n" \
    "                   (%ProgramData%\\Tarvello\\DFiles when it was installed)\n"
#define CTL_TERMINAL "console"
#define CTL_END_REQUESTS "Ctrl+C, Ctrl+Break or the console closing"
#define CTL_PORT_EXAMPLES "COM1 or COM10"
#else
#define CTL_WATCH \
    "  watch [--every SECONDS]       poll every SECONDS (default 10) and publish the states to the\n" \
    "                                MQTT broker of [MQTT] in DB.ini, until SIGINT, SIGTERM or SIGHUP\n"
#define CTL_PORT \
    "  --port NAME      the port: COM1, /dev/ttyUSB0, /dev/serial/by-id/..., tcp://HOST:PORT,\n" \
    "                   rfc2217://HOST:PORT; default [COM] num of DB.ini\n"
#define CTL_DATA_DIR_DEFAULT \
    "  --data-dir DIR   the data directory (the DFiles folder itself); default DFiles in the\n" \
    "                   working directory when it holds one, else $XDG_DATA_HOME/tarvello/DFiles\n"
#define CTL_TERMINAL "terminal"
#define CTL_END_REQUESTS "SIGINT, SIGTERM or SIGHUP"
#define CTL_PORT_EXAMPLES "COM1, /dev/ttyUSB0 or tcp://HOST:PORT"
#endif

const char UsageText[] =
    "usage: tarvello-ctl [options] COMMAND\n"
    "\n"
    "commands:\n"
    "  poll                          ask every device of the register for its state\n"
    "  search FROM TO                search the IDs FROM..TO; replaces the register (asks, or --yes)\n"
    "  move up|down|stop|forward|backward (--all | --group G... | --device ID...) [--force]\n"
    "                                --force: send to a group the register has no device in\n"
    "  readdress --from G:ID --to G:ID   give a device a new group and ID (administrator)\n"
    "  list                          print the register of the scene with the group names\n"
    "  stop-all                      stop every device: the broadcast stop, sent twice (no password;\n"
    "                                without --port, the port of [COM] num in DB.ini)\n"
    "  audit [--since DATE] [--until DATE] [--action A]... [--device G:ID] [--csv | --json]\n"
    "                                print the audit record, newest first (administrator)\n"
    "  audit --verify                check the audit record's chain: status 0 intact, 1 broken\n"
    CTL_WATCH
    "\n"
    "options:\n"
    CTL_PORT
    CTL_DATA_DIR_DEFAULT
    "  --scene N        the register 1..12; default [SCENE] Current of DB.ini\n"
    "  --json           one JSON object per line instead of a table (audit: one JSON array)\n"
    "  --yes            confirm a search without asking\n"
    "  --version        show the version\n"
    "\n"
    "The password is read from the " CTL_TERMINAL ", or from TARVELLO_PASSWORD; stop-all needs none.\n"
    "stop-all is a convenience of the software: it does not replace the installation's\n"
    "hard-wired emergency stop.\n"
    "DATE is ISO 8601 in local time: 2026-12-07 (the whole day) or 2026-12-07T14:30.\n"
    "stop-all ends with status 0 only once both stops left the port named; when the window or\n"
    "tarvello-ctl of this data directory holds that same port, the stop is handed to it.\n"
    CTL_END_REQUESTS " ends a run in order: what it still sends is stopped, the port closed.\n"
    "Exit status: 0 done, 1 data file error (audit --verify: the record is broken; stop-all\n"
    "without --port: no data directory, DB.ini or [COM] num naming the port), 2 usage,\n"
    "3 log-in refused or a level too low, 4 port error or a frame that did not go out,\n"
    "5 a device did not answer, 6 the data directory is in use by the window or another\n"
    "tarvello-ctl (poll, search, move and readdress wait for nobody; stops are never held back),\n"
    "7 ended by " CTL_END_REQUESTS " before the command was done.\n";

void out(const QString& line)
{
    WriteText(stdout, line.toUtf8() + '\n');
}

void err(const QString& line)
{
    WriteText(stderr, "tarvello-ctl: " + line.toUtf8() + '\n');
}

void outJson(const QJsonObject& object)
{
    out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

struct Options {
    QString command;
    QStringList operands;
    QString port, dataDir; // dataDir: as given; empty for the usual choice (common/datadir.h)
    bool portGiven = false;
    bool force = false; // move: send to a group without registered devices
    std::optional<int> scene;
    bool json = false, yes = false, help = false, version = false;
    MotionRequest targets;
    QStringList deviceWords; // after --device: IDs for move, one G:ID for audit
    int targetKinds = 0;
    QString from, to;
    // audit
    QString since, until;
    QStringList actions;
    bool csv = false, verify = false;
    bool auditOptions = false; // any of the above given
    std::optional<int> every;  // watch: seconds between two polls
};

int number(const QString& text, int low, int high, const char* what)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        throw RunError(RunError::Usage, QStringLiteral("%1 must be a number from %2 to %3: %4")
                                            .arg(QLatin1String(what)).arg(low).arg(high).arg(text));
    return value;
}

// "G:ID"
std::pair<int, int> address(const QString& text, const char* what)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        throw RunError(RunError::Usage, QStringLiteral("%1 must be GROUP:ID: %2").arg(QLatin1String(what), text));
    return { number(parts[0], 0, 15, "a group"), number(parts[1], 1, HighestDeviceId, "an ID") };
}

Options parse(QStringList args)
{
    Options o;
    // "--opt=value" is the same as "--opt value".
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        const qsizetype eq = a.indexOf(QLatin1Char('='));
        if (a.startsWith(QLatin1String("--")) && eq > 2) {
            args[i] = a.left(eq);
            args.insert(i + 1, a.mid(eq + 1));
            ++i;
        }
    }
    auto value = [&](int& i) {
        if (i + 1 >= args.size())
            throw RunError(RunError::Usage, QStringLiteral("%1 needs a value").arg(args[i]));
        return args[++i];
    };
    auto words = [&](int& i) {
        QStringList values;
        const QString option = args[i];
        while (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1String("--")))
            values << args[++i];
        if (values.empty())
            throw RunError(RunError::Usage, QStringLiteral("%1 needs at least one value").arg(option));
        ++o.targetKinds;
        return values;
    };
    auto list = [&](int& i, int low, int high, const char* what) {
        std::vector<int> values;
        for (const QString& word : words(i))
            values.push_back(number(word, low, high, what));
        return values;
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--port")) {
            o.port = value(i);
            o.portGiven = true;
        }
        else if (a == QLatin1String("--data-dir")) o.dataDir = value(i);
        else if (a == QLatin1String("--scene")) o.scene = number(value(i), 1, 12, "the scene");
        else if (a == QLatin1String("--json")) o.json = true;
        else if (a == QLatin1String("--yes")) o.yes = true;
        else if (a == QLatin1String("--force")) o.force = true;
        else if (a == QLatin1String("--all")) { o.targets.all = true; ++o.targetKinds; }
        else if (a == QLatin1String("--group")) o.targets.groups = list(i, 0, 15, "a group");
        else if (a == QLatin1String("--device")) o.deviceWords = words(i);
        else if (a == QLatin1String("--since")) { o.since = value(i); o.auditOptions = true; }
        else if (a == QLatin1String("--until")) { o.until = value(i); o.auditOptions = true; }
        else if (a == QLatin1String("--action")) { o.actions << value(i).split(QLatin1Char(','), Qt::SkipEmptyParts); o.auditOptions = true; }
        else if (a == QLatin1String("--csv")) { o.csv = true; o.auditOptions = true; }
        else if (a == QLatin1String("--verify")) { o.verify = true; o.auditOptions = true; }
        else if (a == QLatin1String("--every")) o.every = number(value(i), 1, 86400, "--every");
        else if (a == QLatin1String("--from")) o.from = value(i);
        else if (a == QLatin1String("--to")) o.to = value(i);
        else if (a == QLatin1String("--help") || a == QLatin1String("-h")) o.help = true;
        else if (a == QLatin1String("--version")) o.version = true;
        else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) throw RunError(RunError::Usage, QStringLiteral("unknown option %1").arg(a));
        else if (o.command.isEmpty()) o.command = a;
        else o.operands << a;
    }
    // An empty name would quietly stand for the settings' port (or COM1): a script's unset
    // variable must not send frames to a bus nobody named.
    if (o.portGiven && o.port.trimmed().isEmpty())
        throw RunError(RunError::Usage, QStringLiteral("--port needs a port name, such as " CTL_PORT_EXAMPLES));
    return o;
}

// The password: TARVELLO_PASSWORD when set, else typed on the terminal without echo.
QString password()
{
    if (qEnvironmentVariableIsSet("TARVELLO_PASSWORD"))
        return qEnvironmentVariable("TARVELLO_PASSWORD");
    const std::optional<QString> typed = ReadPasswordFromTerminal("Password: ");
    if (!typed)
        throw RunError(RunError::LogInRefused, QStringLiteral("no password: run on a " CTL_TERMINAL " or set TARVELLO_PASSWORD"));
    return *typed;
}

// A search empties the register: asked on a terminal, refused elsewhere without --yes.
void confirmSearch(int scene, bool yes)
{
    if (yes)
        return;
    if (!InputIsTerminal())
        throw RunError(RunError::Usage, QStringLiteral("a search replaces the register: confirm it with --yes"));
    std::fprintf(stderr,
        "All device's information in the register of scene %d will be cleared by the search.\n"
        "Do you want to continue? [y/N] ", scene);
    std::fflush(stderr);
    const std::optional<QByteArray> answer = ReadInputLine();
    stopIfEnded();
    if (!answer || !(answer->startsWith('y') || answer->startsWith('Y')))
        throw RunError(RunError::Usage, QStringLiteral("search not confirmed"));
}

const char* motionName(uint8_t command)
{
    switch (command) {
    case CmdUp: return "up";
    case CmdDown: return "down";
    case CmdStop: return "stop";
    case CmdForward: return "forward";
    case CmdBackward: return "backward";
    }
    return "?";
}

std::optional<uint8_t> motionCommand(const QString& word)
{
    for (uint8_t c : { CmdUp, CmdDown, CmdStop, CmdForward, CmdBackward })
        if (word == QLatin1String(motionName(c)))
            return c;
    return std::nullopt;
}

void printDevices(const std::vector<RunDevice>& devices, bool json, bool withState)
{
    if (!json)
        out(withState ? QStringLiteral("   ID  GROUP  STATE     NAME") : QStringLiteral("   ID  GROUP  NAME"));
    for (const RunDevice& d : devices) {
        if (json) {
            QJsonObject o { { QStringLiteral("id"), d.id }, { QStringLiteral("group"), d.group },
                { QStringLiteral("name"), d.name } };
            if (withState)
                o.insert(QStringLiteral("online"), d.online.value_or(false));
            outJson(o);
        } else if (withState) {
            out(QStringLiteral("%1  %2  %3  %4")
                    .arg(d.id, 5).arg(d.group, 5)
                    .arg(d.online.value_or(false) ? QStringLiteral("on line") : QStringLiteral("off line"), -8)
                    .arg(d.name));
        } else {
            out(QStringLiteral("%1  %2  %3").arg(d.id, 5).arg(d.group, 5).arg(d.name));
        }
    }
}

// The register with the name of each device's group: the table pads the group names to one width
// on the terminal. Group 0 is "Ungrouped" there, as the window names it in English, whatever the
// record stores for it.
void printRegister(const std::vector<RunDevice>& devices, const std::map<int, QString>& groupNames, bool json)
{
    // The JSON keeps the stored name: scripts read it as the register holds it.
    auto storedName = [&](int group) {
        const auto it = groupNames.find(group);
        return it == groupNames.end() ? QString() : it->second;
    };
    auto groupName = [&](int group) { return group == 0 ? QStringLiteral("Ungrouped") : storedName(group); };
    const QString heading = QStringLiteral("GROUP NAME");
    int width = DisplayWidth(heading);
    for (const RunDevice& d : devices)
        width = std::max(width, DisplayWidth(groupName(d.group)));
    if (!json)
        out(QStringLiteral("   ID  GROUP  %1  NAME").arg(PadToWidth(heading, width)));
    for (const RunDevice& d : devices) {
        if (json)
            outJson({ { QStringLiteral("id"), d.id }, { QStringLiteral("group"), d.group },
                { QStringLiteral("groupName"), storedName(d.group) }, { QStringLiteral("name"), d.name } });
        else
            out(QStringLiteral("%1  %2  %3  %4").arg(d.id, 5).arg(d.group, 5).arg(PadToWidth(groupName(d.group), width), d.name));
    }
}

QString targetText(const RunFrame& f)
{
    if (f.address == BroadcastGroup)
        return QStringLiteral("all devices");
    const int group = f.address & 0x0F;
    return f.id == 0 ? QStringLiteral("group %1").arg(group) : QStringLiteral("device %1:%2").arg(group).arg(f.id);
}

// One line a frame that left the port; status 4, naming the rest, when not all of them did.
int reportFrames(const MotionResult& result, const QString& port, bool json)
{
    for (const RunFrame& f : result.sent) {
        if (json) {
            QJsonObject j { { QStringLiteral("command"), QLatin1String(motionName(f.command)) },
                { QStringLiteral("frame"), f.hex } };
            if (f.address == BroadcastGroup) {
                j.insert(QStringLiteral("all"), true);
            } else {
                j.insert(QStringLiteral("group"), f.address & 0x0F);
                if (f.id != 0)
                    j.insert(QStringLiteral("id"), f.id);
            }
            outJson(j);
        } else {
            out(QStringLiteral("%1 -> %2   %3").arg(QLatin1String(motionName(f.command)), -8).arg(targetText(f), -14).arg(f.hex));
        }
    }
    if (result.unsent.empty() && !result.portLost)
        return ExitOk;
    QString why = result.portLost ? QStringLiteral("%1: the port was lost").arg(port) : port;
    if (!result.unsent.empty()) {
        QStringList targets;
        for (const RunFrame& f : result.unsent)
            targets << targetText(f);
        why += QStringLiteral("%1 %2 of %3 frames did not go out: %4")
                   .arg(result.portLost ? QStringLiteral(";") : QStringLiteral(":"))
                   .arg(result.unsent.size())
                   .arg(result.total())
                   .arg(targets.join(QStringLiteral(", ")));
    }
    err(why);
    return ExitPortError;
}

// DATE of --since and --until: ISO 8601 in local time (or with its own offset). A date alone is the
// day's first moment for --since and its last for --until, so both ends take whole days.
QDateTime auditTime(const QString& text, bool until, const char* option)
{
    QString iso = text.trimmed();
    if (iso.size() > 10 && iso[10] == QLatin1Char(' '))
        iso[10] = QLatin1Char('T');
    const QDate day = QDate::fromString(iso, Qt::ISODate);
    QDateTime time = day.isValid() ? QDateTime(day, until ? QTime(23, 59, 59, 999) : QTime(0, 0), Qt::LocalTime)
                                   : QDateTime::fromString(iso, Qt::ISODateWithMs);
    if (!time.isValid())
        throw RunError(RunError::Usage, QStringLiteral("%1 takes an ISO 8601 date or date and time, such as 2026-12-07 or "
                                                       "2026-12-07T14:30: %2").arg(QLatin1String(option), text));
    return time.toUTC();
}

AuditFilter auditFilter(const Options& o)
{
    AuditFilter filter;
    if (!o.since.isEmpty())
        filter.since = auditTime(o.since, false, "--since");
    if (!o.until.isEmpty())
        filter.until = auditTime(o.until, true, "--until");
    if (filter.since && filter.until && *filter.since > *filter.until)
        throw RunError(RunError::Usage, QStringLiteral("--since is after --until"));
    filter.actions = o.actions;
    if (o.deviceWords.size() > 1)
        throw RunError(RunError::Usage, QStringLiteral("audit takes one --device G:ID"));
    if (!o.deviceWords.isEmpty())
        filter.device = address(o.deviceWords[0], "--device");
    if (o.csv && o.json)
        throw RunError(RunError::Usage, QStringLiteral("--csv or --json, not both"));
    if (o.verify && (filter.since || filter.until || !filter.actions.isEmpty() || filter.device || o.csv))
        throw RunError(RunError::Usage, QStringLiteral("--verify checks the whole record: it takes no filter and no --csv"));
    return filter;
}

// The audit record of the data directory, read as it is: reading applies no keep time of its own.
int printAudit(const QString& dataDir, const AuditFilter& filter, const Options& o)
{
    AuditLog log(dataDir, 0);
    QString failure;
    QObject::connect(&log, &AuditLog::writeFailed, [&](const QString& reason) { failure = reason; });
    QCoreApplication::processEvents(); // writeFailed is queued
    if (!log.writable())
        throw RunError(RunError::DataFile, failure.isEmpty() ? QStringLiteral("cannot open %1").arg(log.fileName()) : failure);

    if (o.verify) {
        const AuditCheck check = log.verify();
        if (o.json) {
            QJsonObject j { { QStringLiteral("intact"), check.intact }, { QStringLiteral("rows"), check.rows } };
            if (!check.intact) {
                j.insert(QStringLiteral("firstBad"), check.firstBad);
                j.insert(QStringLiteral("problem"), check.problem);
            }
            outJson(j);
        } else {
            out(check.intact ? QStringLiteral("intact: %1 rows").arg(check.rows) : QStringLiteral("broken: %1").arg(check.problem));
        }
        return check.intact ? ExitOk : ExitFailed;
    }

    const std::vector<AuditRow> rows = log.rows(filter);
    if (o.csv) {
        const QByteArray csv = AuditCsv(rows);
        WriteText(stdout, csv);
        return ExitOk;
    }
    if (o.json) {
        QJsonArray array;
        for (const AuditRow& r : rows) {
            array.append(QJsonObject { { QStringLiteral("time"), AuditLocalTime(r.time) },
                { QStringLiteral("level"), AuditLevelName(r.level) }, { QStringLiteral("source"), r.source },
                { QStringLiteral("user"), r.user }, { QStringLiteral("action"), r.action },
                { QStringLiteral("detail"), r.detail } });
        }
        out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
        return ExitOk;
    }
    for (const AuditRow& r : rows) {
        QString detail = r.detail;
        detail.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
        out(QStringLiteral("%1  %2  %3  %4  %5  %6")
                .arg(r.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                .arg(AuditLevelName(r.level), -13)
                .arg(r.source, -12)
                .arg(PadToWidth(r.user, 12))
                .arg(r.action, -15)
                .arg(detail));
    }
    return ExitOk;
}

// The port is held by the window or tarvello-ctl on this directory: the holder is asked to send its
// stop-all, and its audit record shows that it did.
int handStopTo(SessionRun& session, qint64 holder, const QString& who, const QString& portError)
{
    AuditLog& audit = session.session().audit();
    const AuditFilter stops { std::nullopt, std::nullopt, { QStringLiteral("stop-all") }, std::nullopt };
    auto lastStop = [&] {
        // Only a stop-all that was sent counts: a row of one the holder could not send does not.
        const std::vector<AuditRow> rows = audit.rows(stops);
        qint64 seq = 0;
        for (const AuditRow& r : rows)
            if (r.detail.startsWith(QLatin1String("stop to every device")))
                seq = std::max(seq, r.seq);
        return seq;
    };
    const qint64 before = lastStop();
    // The holder's row credits the stop to this run: its level (nobody logged in) and face.
    StopRequester self;
    self.level = session.session().passwords().level();
    self.source = session.session().auditTrail().source();
    self.pid = QCoreApplication::applicationPid();
    if (!RequestStopFrom(holder, session.session().dataDir(), self))
        throw RunError(RunError::Port, portError + QStringLiteral("; %1 holds it and could not be asked to stop").arg(who));
    // The holder records its stop-all once its stop has left the port; a few seconds cover a busy
    // machine.
    for (int waited = 0; waited < 3000; waited += 50) {
        QEventLoop pause;
        QTimer::singleShot(50, &pause, &QEventLoop::quit);
        pause.exec();
        if (lastStop() > before) {
            out(QStringLiteral("stop-all -> all devices   sent by %1, which holds %2").arg(who, session.portDescription()));
            return ExitOk;
        }
    }
    throw RunError(RunError::Port, portError + QStringLiteral("; %1 holds it and was asked to stop every device, "
                                                              "but its audit record shows no stop").arg(who));
}

// The port of stop-all did not open. The stop is handed over only to the program that holds this
// data directory and says it works on this very port; any other failure is this run's own.
int handStopOver(SessionRun& session, const DataDirLock& lock, const QString& portError)
{
    bool holderIsCtl = false;
    const qint64 holder = lock.localHolder(&holderIsCtl);
    if (!holder)
        throw RunError(RunError::Port, portError);
    const QString who = QStringLiteral("%1 (process %2)").arg(holderIsCtl ? QStringLiteral("tarvello-ctl")
                                                                         : QStringLiteral("the control centre"))
                            .arg(holder);
    const HeldPort held = lock.holderPort();
    TComm& port = session.session().port();
    const QString ours = PortIdentity(port.PortResolver(port.CommName()));
    switch (held.state) {
    case HeldPort::Open:
        if (held.port == ours)
            return handStopTo(session, holder, who, portError);
        throw RunError(RunError::Port, portError + QStringLiteral("; %1 holds the data directory but works on another "
                                                                  "port (%2): the stop was not handed over").arg(who, held.port));
    case HeldPort::NoPort:
        throw RunError(RunError::Port, portError + QStringLiteral("; %1 holds the data directory and has no port "
                                                                  "(%2): the stop was not handed over").arg(who, held.activity));
    case HeldPort::Unknown:
        break;
    }
    throw RunError(RunError::Port, portError + QStringLiteral("; %1 holds the data directory but has not said that it "
                                                              "works on this port: the stop was not handed over").arg(who));
}

// stop-all without --port goes to the installation's port, [COM] num of DB.ini: never to a port
// guessed for a data directory that is not there or says nothing.
void checkInstallationPort(const QString& dataDir)
{
    const QString folder = QDir::toNativeSeparators(dataDir);
    const QString settings = QDir(dataDir).filePath(QStringLiteral("DB.ini"));
    const QString nameIt = QStringLiteral(": name the port with --port");
    if (!QFileInfo(dataDir).isDir())
        throw RunError(RunError::DataFile, QStringLiteral("no such folder: %1 (the data directory, whose DB.ini names the "
                                                          "port)").arg(folder) + nameIt);
    if (!QFileInfo(settings).isFile())
        throw RunError(RunError::DataFile, QStringLiteral("%1 is missing, so the port is not known")
                                               .arg(QDir::toNativeSeparators(settings)) + nameIt);
    const TIniFile ini(settings);
    const QString port = ini.ReadString(QStringLiteral("COM"), QStringLiteral("num"), QString()).trimmed();
    if (ini.unreadable())
        throw RunError(RunError::DataFile, QStringLiteral("%1 cannot be read, so the port is not known")
                                               .arg(QDir::toNativeSeparators(settings)) + nameIt);
    if (port.isEmpty())
        throw RunError(RunError::DataFile, QStringLiteral("%1 names no port ([COM] num)")
                                               .arg(QDir::toNativeSeparators(settings)) + nameIt);
}

// A move stop is under way: its failure names stop-all.
bool moveStopRun = false;

int run(const Options& o, EndRequests& ends)
{
    static const QStringList commands { QStringLiteral("poll"), QStringLiteral("search"), QStringLiteral("move"),
        QStringLiteral("readdress"), QStringLiteral("list"), QStringLiteral("stop-all"), QStringLiteral("audit"),
        QStringLiteral("watch") };
    if (!commands.contains(o.command))
        throw RunError(RunError::Usage, o.command.isEmpty() ? QStringLiteral("no command given")
                                                            : QStringLiteral("unknown command %1").arg(o.command));
    // Everything the command needs is checked before the log-in and the port.
    int from = 0, to = 0;
    std::optional<uint8_t> motion;
    std::pair<int, int> source, target;
    MotionRequest targets = o.targets;
    AuditFilter filter;
    const bool audit = o.command == QLatin1String("audit");
    const qsizetype operandsWanted = o.command == QLatin1String("search") ? 2 : o.command == QLatin1String("move") ? 1 : 0;
    if (o.operands.size() != operandsWanted)
        throw RunError(RunError::Usage, QStringLiteral("%1 takes %2 operand(s)").arg(o.command).arg(operandsWanted));
    if (o.command == QLatin1String("search")) {
        from = number(o.operands[0], 1, HighestDeviceId, "FROM");
        to = number(o.operands[1], 1, HighestDeviceId, "TO");
        if (from > to)
            throw RunError(RunError::Usage, QStringLiteral("The range of ID is WRONG: FROM is above TO."));
    } else if (o.command == QLatin1String("move")) {
        motion = motionCommand(o.operands[0]);
        if (!motion)
            throw RunError(RunError::Usage, QStringLiteral("move up, down, stop, forward or backward, not %1").arg(o.operands[0]));
        if (o.targetKinds != 1)
            throw RunError(RunError::Usage, QStringLiteral("move needs exactly one of --all, --group G..., --device ID..."));
        for (const QString& word : o.deviceWords)
            targets.devices.push_back(number(word, 1, HighestDeviceId, "a device ID"));
    } else if (o.command == QLatin1String("readdress")) {
        if (o.from.isEmpty() || o.to.isEmpty())
            throw RunError(RunError::Usage, QStringLiteral("readdress needs --from G:ID and --to G:ID"));
        source = address(o.from, "--from");
        target = address(o.to, "--to");
    }
    if (audit) {
        if (o.targets.all || !o.targets.groups.empty())
            throw RunError(RunError::Usage, QStringLiteral("--all and --group go with move only"));
        filter = auditFilter(o);
    } else if (o.command != QLatin1String("move") && o.targetKinds > 0) {
        throw RunError(RunError::Usage, QStringLiteral("--all, --group and --device go with move only"));
    }
    if (o.every && o.command != QLatin1String("watch"))
        throw RunError(RunError::Usage, QStringLiteral("--every goes with watch only"));
    if (!audit && o.auditOptions)
        throw RunError(RunError::Usage, QStringLiteral("--since, --until, --action, --csv and --verify go with audit only"));
    if (o.force && o.command != QLatin1String("move"))
        throw RunError(RunError::Usage, QStringLiteral("--force goes with move only"));

    StopRequests stopRequests; // before the directory is held: a request never ends this run
    const QString dataDir = ChooseDataDir(o.dataDir).path;
    const bool stopAll = o.command == QLatin1String("stop-all");
    const bool stopping = stopAll || motion == CmdStop;
    const bool reading = audit || o.command == QLatin1String("list");
    // stop-all needs no register or password file; move stop still needs both to find its devices,
    // and when it cannot go, stop-all is named as the way that always does.
    moveStopRun = motion == CmdStop;
    if (!stopping && !QFileInfo(dataDir).isDir()) {
        throw RunError(RunError::DataFile, QFileInfo::exists(dataDir)
            ? QStringLiteral("the data directory %1 is not a folder").arg(QDir::toNativeSeparators(dataDir))
            : QStringLiteral("no such folder: %1 (the data directory: the DFiles folder itself)").arg(QDir::toNativeSeparators(dataDir)));
    }
    if (stopAll && !o.portGiven)
        checkInstallationPort(dataDir);
    // What writes the register or holds the port waits for nobody: the window or another run on
    // this directory is said, and nothing is done. Reading (list, audit) and stop-all take no
    // lock, so that a window starting at that moment is not refused; a move stop is never held
    // back. Those that go ahead while another program holds the directory leave its files alone:
    // a temporary copy or an unfinished restore may be its work in progress, not a crash's
    // leftovers. A read leaves them to the next program that holds the directory.
    DataDirLock lock(dataDir);
    const bool takesLock = !reading && !stopAll;
    const bool othersHold = takesLock && lock.tryLock() == DataDirLock::Result::InUse;
    if (othersHold && !stopping)
        throw RunError(RunError::InUse, lock.holderText(1));
    stopIfEnded();
    SessionRun session(dataDir, o.scene, o.port);
    session.session().deviceRegister().SetRecovery(takesLock && !othersHold);
    // A signal ends what the run is doing; the run then unwinds in order.
    QObject::connect(&ends, &EndRequests::requested, &session.session(), [&session] { session.interrupt(); });
    // A record that cannot be written, or could not for a while, is said once, on standard error,
    // when the run ends.
    struct AuditWarning {
        AuditLog& audit;
        ~AuditWarning()
        {
            audit.flush();
            if (!audit.writable())
                err(QStringLiteral("the audit record %1 cannot be written: this run is not recorded")
                        .arg(QDir::toNativeSeparators(audit.fileName())));
            else if (audit.droppedRows() > 0)
                err(QStringLiteral("the audit record %1 could not be written for a while: %2 rows of this run are "
                                   "not recorded")
                        .arg(QDir::toNativeSeparators(audit.fileName()))
                        .arg(audit.droppedRows()));
        }
    } auditWarning { session.session().audit() };
    // The port this run holds sends a stop-all asked for by another program that found it held.
    QObject::connect(&stopRequests, &StopRequests::requested, &session.session(), [&session] {
        if (session.session().port().isOpen()) {
            session.session().creditStopRequest();
            session.session().engine().stopAll();
        }
    });
    if (stopAll) {
        // A stop harms nothing: no password, and no register that could fail to open.
        try {
            session.openPort(QStringLiteral("stop every device there with the control centre's F12 key or its "
                                            "\"Stop all\" button"));
        } catch (const RunError& e) {
            if (e.kind() != RunError::Port)
                throw;
            return handStopOver(session, lock, QString::fromStdString(e.what()));
        }
        return reportFrames(session.stopAll(), session.portDescription(), o.json);
    }
    // The port this run works on, beside the lock it holds: a stop-all that finds this port held
    // hands its stop to this run.
    const auto sayPort = [&lock, &session] {
        TComm& port = session.session().port();
        lock.setPort(PortIdentity(port.PortResolver(port.CommName())));
    };
    if (o.command == QLatin1String("watch")) {
        if (!ends.watching())
            throw RunError(RunError::DataFile, QStringLiteral("cannot watch for signals"));
        sayPort(); // for the whole watch: a port it loses is tried again each round
        return Watch(session, ends, password, o.every.value_or(10), o.json);
    }
    const QString typed = password();
    stopIfEnded();
    const int level = session.logIn(typed);
    // What the window's group editor needs: the administrator's or the super-user's password.
    if (o.command == QLatin1String("readdress") && level != ModeAdministrator && level != ModeSuperUser)
        throw RunError(RunError::LogInRefused, QStringLiteral("re-addressing needs the administrator's password"));
    if (audit) {
        // The record names every operator's actions: for the administrator (or the super-user).
        if (level != ModeAdministrator && level != ModeSuperUser)
            throw RunError(RunError::LogInRefused, QStringLiteral("the audit record needs the administrator's password"));
        return printAudit(dataDir, filter, o);
    }
    if (o.command == QLatin1String("list")) {
        // A listing writes nothing: a scene without a register is empty, not created.
        TRegister& reg = session.session().deviceRegister();
        reg.SetScene(session.scene());
        const bool members = QFileInfo::exists(reg.MemberFileName()), groups = QFileInfo::exists(reg.GroupFileName());
        if (!members && !groups) {
            err(QStringLiteral("scene %1 has no register yet (no %2): nothing to list")
                    .arg(session.scene()).arg(QFileInfo(reg.MemberFileName()).fileName()));
            printRegister({}, {}, o.json);
            return ExitOk;
        }
        if (!members || !groups)
            throw RunError(RunError::DataFile, QStringLiteral("%1 is missing").arg(QDir::toNativeSeparators(members ? reg.GroupFileName() : reg.MemberFileName())));
        session.openRegister();
        std::map<int, QString> groupNames;
        for (const auto& [id, name] : session.session().readGroups())
            groupNames.emplace(id, name);
        printRegister(session.registeredDevices(), groupNames, o.json);
        return ExitOk;
    }
    session.openRegister();
    if (o.command == QLatin1String("move") && !targets.groups.empty()) {
        // A group the register has no device in: most likely a mistyped number. Said, and sent
        // only when asked for with --force; a stop is sent all the same.
        const std::vector<RunDevice> devices = session.registeredDevices();
        QStringList empty;
        for (int group : targets.groups)
            if (std::none_of(devices.begin(), devices.end(), [group](const RunDevice& d) { return d.group == group; }))
                empty << QString::number(group);
        empty.removeDuplicates();
        const QString which = (empty.size() == 1 ? QStringLiteral("group %1 has no device in the register of scene %2")
                                                 : QStringLiteral("groups %1 have no device in the register of scene %2"))
                                  .arg(empty.join(QStringLiteral(", "))).arg(session.scene());
        if (!empty.isEmpty() && *motion == CmdStop)
            err(which + QStringLiteral(": the stop is sent all the same"));
        else if (!empty.isEmpty() && !o.force)
            throw RunError(RunError::Usage, which + QStringLiteral(": nothing is sent (--force sends it)"));
    }
    if (o.command == QLatin1String("search"))
        confirmSearch(session.scene(), o.yes);
    stopIfEnded();
    session.openPort();
    sayPort();

    if (o.command == QLatin1String("poll")) {
        const std::vector<RunDevice> devices = session.poll();
        printDevices(devices, o.json, true);
        const auto silent = std::count_if(devices.begin(), devices.end(), [](const RunDevice& d) { return !d.online.value_or(false); });
        if (silent > 0) {
            err(QStringLiteral("%1 of %2 devices did not answer").arg(silent).arg(devices.size()));
            return ExitNoAnswer;
        }
        return ExitOk;
    }
    if (o.command == QLatin1String("search")) {
        const std::vector<RunDevice> found = session.search(from, to);
        if (!o.json)
            out(QStringLiteral("   ID  GROUP"));
        for (const RunDevice& d : found) {
            if (o.json)
                outJson({ { QStringLiteral("id"), d.id }, { QStringLiteral("group"), d.group } });
            else
                out(QStringLiteral("%1  %2").arg(d.id, 5).arg(d.group, 5));
        }
        if (found.empty()) {
            err(QStringLiteral("no device answered in %1 to %2").arg(from).arg(to));
            return ExitNoAnswer;
        }
        return ExitOk;
    }
    if (o.command == QLatin1String("move"))
        return reportFrames(session.move(*motion, targets), session.portDescription(), o.json);
    // readdress
    const bool answered = session.readdress(source.first, source.second, target.first, target.second);
    if (o.json) {
        outJson({ { QStringLiteral("from"), o.from }, { QStringLiteral("to"), o.to }, { QStringLiteral("answered"), answered } });
    } else {
        out(QStringLiteral("%1 -> %2   %3").arg(o.from, o.to,
            answered ? QStringLiteral("answers at its new address") : QStringLiteral("did not answer at its new address")));
    }
    if (!answered) {
        err(QStringLiteral("device %1 did not answer at its new address; the register has it there").arg(o.to));
        return ExitNoAnswer;
    }
    return ExitOk;
}

int runCommand(EndRequests& ends, QString* command)
{
    try {
        const Options o = parse(QCoreApplication::arguments().mid(1));
        if (o.help) {
            std::fputs(UsageText, stdout);
            return ExitOk;
        }
        if (o.version) {
            std::printf("tarvello-ctl %s\n", ProgramVersion());
            return ExitOk;
        }
        *command = o.command;
        return run(o, ends);
    } catch (const EndedBeforeWork&) {
        return ExitEnded; // said by the caller
    } catch (const RunError& e) {
        err(QString::fromStdString(e.what()));
        if (moveStopRun && e.kind() != RunError::Usage)
            err(QStringLiteral("tarvello-ctl stop-all stops every device, and needs no password or register"));
        if (e.kind() == RunError::Usage && std::string(e.what()).find("command") != std::string::npos)
            std::fputs(UsageText, stderr);
        return exitStatus(e.kind());
    } catch (const std::exception& e) {
        err(QString::fromLocal8Bit(e.what()));
        return ExitFailed;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SetUpStandardStreams();
    QCoreApplication::setApplicationName(QStringLiteral("tarvello-ctl"));
    setCurrentLanguage(1); // the register's messages in English
    // From here on, SIGINT, SIGTERM and SIGHUP end every run in order, never by default
    // termination: the run under way ends, stops what it still sends, and unwinds.
    EndRequests ends;
    QString command;
    const int status = runCommand(ends, &command);
    if (EndRequests::arrived() && !command.isEmpty() && command != QLatin1String("watch") && command != QLatin1String("stop-all")) {
        // A watch ends so by design; a stop-all's status follows its frames, which a signal does not cut off.
        err(QStringLiteral("ended by %1 before %2 was done").arg(EndRequests::arrivedName(), command));
        return ExitEnded;
    }
    return status;
}

