// tarvello-sim: a bus of lifting devices on a pseudo-terminal, for running
// the control centre without hardware. Prints the slave device path as its
// first line and runs until SIGINT or SIGTERM.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/version.h"
#include "protocol/framedescription.h"
#include "sim/bus_simulator.h"
#include "sim/device_list.h"

namespace {

const char* const Usage = R"(Usage: tarvello-sim [options]

Emulates lifting devices on a serial bus. The control centre opens the
pseudo-terminal whose path is printed as the first line of output.

Devices:
  --devices LIST        devices as group:id, comma separated; ranges as
                        group:first-last, e.g. "2:5,2:6,1:10-20"
  --device-file FILE    one device a line: "group id [code] [name]", code as
                        0xFE or 254; '#' starts a comment
  --reply-code CODE     status reply code of devices that name none (0xFD,
                        0xFE or 0xFF; default 0xFF)
  Both device options may be repeated; without them the bus is empty.

Line:
  --baud N              line speed for pacing replies, 10 bits a byte
                        (default 4800)
  --turnaround-ms N     delay between the end of a query and the reply
                        (default 20)
  --split-gap-ms N      silence inside a split reply (default 150)
  --late-ms N           extra delay of a late reply (default 200)
  --two-wire            one pair of wires for both directions: a frame sent
                        while a reply is on the line collides with it; the
                        frame is lost and the rest of the reply garbled
  --echo                every byte sent comes back at once, as from a
                        two-wire adapter that hears itself

Faults (LIST as for --devices; every device named must exist):
  --offline LIST        these devices hear nothing and never answer
  --bad-checksum LIST   their replies carry a checksum off by one
  --split LIST          their replies arrive in two parts with a gap
  --noise LIST          noise bytes (00 55 AA) come before their replies
  --wrong-group LIST    their replies name the next group (group + 1 mod 16)
  --late LIST           their replies come --late-ms after their time

Run time:
  --commands            read commands from standard input, one a line:
                        "offline LIST" switches devices off, "online LIST"
                        on again (LIST as for --devices); each is answered
                        on standard output with "ok" or why it was not
                        done; the end of the input ends the reading, not
                        the simulator

Output:
  --link PATH           create a symbolic link PATH to the slave device (an
                        existing link there is replaced); removed on exit
  --log FILE            write every frame received and sent to FILE: time in
                        seconds since start, direction, bytes, meaning (in
                        the words of the control centre's traffic record)
  --quiet               no trace of the traffic on standard error
  --help                show this text
  --version             show the version
)";

struct Settings {
    std::vector<SimDeviceConfig> devices;
    BusSimulator::Options options;
    std::vector<DeviceAddress> offline, badChecksum, split, noise, wrongGroup, late;
    std::string link, logFile;
    bool quiet = false;
    bool commands = false;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long number(const std::string& opt, const std::string& v, unsigned long max)
{
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 9
        || std::stoul(v) > max)
        throw UsageError(opt + ": not a number from 0 to " + std::to_string(max) + ": \"" + v + "\"");
    return std::stoul(v);
}

Settings parseArgs(int argc, char** argv)
{
    Settings s;
    std::vector<std::string> deviceLists, deviceFiles;
    std::string code = "0xFF";
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt = opt.substr(0, eq);
            hasValue = true;
        }
        auto arg = [&]() -> std::string {
            if (hasValue)
                return value;
            if (i + 1 >= argc)
                throw UsageError(opt + " needs a value");
            return argv[++i];
        };
        try {
            if (opt == "--help" || opt == "-h") {
                std::fputs(Usage, stdout);
                std::exit(0);
            } else if (opt == "--version") {
                std::printf("tarvello-sim %s\n", ProgramVersion());
                std::exit(0);
            } else if (opt == "--devices") {
                deviceLists.push_back(arg());
            } else if (opt == "--device-file") {
                deviceFiles.push_back(arg());
            } else if (opt == "--reply-code") {
                code = arg();
            } else if (opt == "--baud") {
                s.options.baud = static_cast<uint32_t>(number(opt, arg(), 4000000));
                if (s.options.baud == 0)
                    throw UsageError("--baud must be above 0");
            } else if (opt == "--turnaround-ms") {
                s.options.turnaround = std::chrono::milliseconds(number(opt, arg(), 60000));
            } else if (opt == "--split-gap-ms") {
                s.options.splitGap = std::chrono::milliseconds(number(opt, arg(), 60000));
            } else if (opt == "--late-ms") {
                s.options.lateBy = std::chrono::milliseconds(number(opt, arg(), 60000));
            } else if (opt == "--two-wire") {
                s.options.twoWire = true;
            } else if (opt == "--echo") {
                s.options.echo = true;
            } else if (opt == "--late") {
                for (auto a : ParseDeviceList(arg()))
                    s.late.push_back(a);
            } else if (opt == "--offline") {
                for (auto a : ParseDeviceList(arg()))
                    s.offline.push_back(a);
            } else if (opt == "--bad-checksum") {
                for (auto a : ParseDeviceList(arg()))
                    s.badChecksum.push_back(a);
            } else if (opt == "--split") {
                for (auto a : ParseDeviceList(arg()))
                    s.split.push_back(a);
            } else if (opt == "--noise") {
                for (auto a : ParseDeviceList(arg()))
                    s.noise.push_back(a);
            } else if (opt == "--wrong-group") {
                for (auto a : ParseDeviceList(arg()))
                    s.wrongGroup.push_back(a);
            } else if (opt == "--link") {
                s.link = arg();
            } else if (opt == "--log") {
                s.logFile = arg();
            } else if (opt == "--commands") {
                s.commands = true;
            } else if (opt == "--quiet" || opt == "-q") {
                s.quiet = true;
            } else {
                throw UsageError("unknown option " + opt + " (see --help)");
            }
        } catch (const std::invalid_argument& e) {
            throw UsageError(opt + ": " + e.what());
        }
    }
    uint8_t defaultCode;
    try {
        defaultCode = ParseReplyCode(code);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--reply-code: ") + e.what());
    }
    for (const auto& list : deviceLists)
        for (auto a : ParseDeviceList(list))
            s.devices.push_back(SimDeviceConfig{a.group, a.id, defaultCode, {}});
    for (const auto& file : deviceFiles) {
        try {
            for (auto& d : LoadDeviceFile(file, defaultCode))
                s.devices.push_back(std::move(d));
        } catch (const std::exception& e) {
            throw UsageError(std::string("--device-file: ") + e.what());
        }
    }
    return s;
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    return HexLine(bytes.data(), bytes.size());
}

// Replaces an existing symbolic link, never a regular file.
void makeLink(const std::string& target, const std::string& link)
{
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw std::runtime_error("--link: " + link + " exists and is not a symbolic link");
        ::unlink(link.c_str());
    }
    if (::symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("--link: cannot create " + link + ": " + std::strerror(errno));
}

void removeLink(const std::string& target, const std::string& link)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target)
        ::unlink(link.c_str());
}

// Faults switched while the bus runs, from standard input: "offline LIST" or "online LIST".
// Each line is done before the next is read and answered with one line on standard output:
// "ok", or why it was not done. The reader may still wait on its input when the simulator ends:
// from then on it leaves the simulator alone, and ends with the process.
std::mutex commandMutex;
BusSimulator* commandTarget = nullptr;

std::string runCommand(const std::string& line)
{
    std::istringstream words(line);
    std::string verb, list, rest;
    words >> verb >> list >> rest;
    if ((verb != "offline" && verb != "online") || list.empty() || !rest.empty())
        return "not a command: \"" + line + "\" (offline LIST or online LIST)";
    std::vector<DeviceAddress> devices;
    try {
        devices = ParseDeviceList(list);
    } catch (const std::exception& e) {
        return verb + ": " + e.what();
    }
    std::lock_guard lock(commandMutex);
    if (!commandTarget)
        return "ending";
    std::string missing;
    for (const auto& a : devices)
        if (commandTarget->setOffline(a.group, a.id, verb == "offline") == 0)
            missing += (missing.empty() ? "" : ",") + std::to_string(a.group) + ":" + std::to_string(a.id);
    return missing.empty() ? "ok" : verb + ": no device " + missing;
}

void readCommands()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        const std::string answer = runCommand(line);
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv)
{
    Settings settings;
    try {
        settings = parseArgs(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvello-sim: %s\n", e.what());
        return 2;
    }

    // The simulator's threads inherit this mask, so the signals reach only
    // the sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    BusSimulator sim(settings.options);
    for (const auto& d : settings.devices)
        sim.addDevice(d);

    struct FaultList {
        const char* option;
        const std::vector<DeviceAddress>* list;
        int (BusSimulator::*set)(uint8_t, uint16_t, bool);
    };
    const FaultList faults[] = {
        {"--offline", &settings.offline, &BusSimulator::setOffline},
        {"--bad-checksum", &settings.badChecksum, &BusSimulator::setBadChecksum},
        {"--split", &settings.split, &BusSimulator::setSplit},
        {"--noise", &settings.noise, &BusSimulator::setNoise},
        {"--wrong-group", &settings.wrongGroup, &BusSimulator::setWrongGroup},
        {"--late", &settings.late, &BusSimulator::setLate},
    };
    for (const auto& f : faults) {
        for (const auto& a : *f.list) {
            if ((sim.*f.set)(a.group, a.id, true) == 0) {
                std::fprintf(stderr, "tarvello-sim: %s: no device %d:%d\n", f.option, a.group, a.id);
                return 2;
            }
        }
    }

    std::ofstream log;
    if (!settings.logFile.empty()) {
        log.open(settings.logFile, std::ios::out | std::ios::trunc);
        if (!log) {
            std::fprintf(stderr, "tarvello-sim: --log: cannot write %s\n", settings.logFile.c_str());
            return 1;
        }
    }

    const auto t0 = SimClock::now();
    std::mutex outMutex;
    const bool trace = !settings.quiet;
    if (trace || log.is_open()) {
        sim.setEventHook([&](const SimEvent& e) {
            const double t = std::chrono::duration<double>(e.time - t0).count();
            // The same words as the control centre's traffic record, so both sides compare.
            std::string kind, meaning = FrameDescription(e.bytes.data(), e.bytes.size());
            switch (e.kind) {
            case SimEventKind::FrameReceived: kind = "RX"; break;
            case SimEventKind::ReplySent: kind = "TX"; break;
            case SimEventKind::Garbage: kind = "GARBAGE"; break;
            case SimEventKind::Collision: kind = "COLLISION"; break;
            case SimEventKind::PortVanished:
                kind = "VANISHED";
                meaning = "port closed";
                break;
            }
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%.6f", t);
            const std::string line = std::string(stamp) + " " + kind + " " + hex(e.bytes) + "| " + meaning + "\n";
            std::lock_guard lock(outMutex);
            if (trace)
                std::fputs(line.c_str(), stderr);
            if (log.is_open())
                log << line << std::flush;
        });
    }

    try {
        sim.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvello-sim: %s\n", e.what());
        return 1;
    }
    const std::string slave = sim.slavePath();
    if (!settings.link.empty()) {
        try {
            makeLink(slave, settings.link);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tarvello-sim: %s\n", e.what());
            sim.stop();
            return 1;
        }
    }
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);
    if (trace)
        std::fprintf(stderr, "tarvello-sim: %zu device(s) on %s at %u baud%s%s\n", settings.devices.size(),
                     slave.c_str(), settings.options.baud, settings.options.twoWire ? ", two-wire" : "",
                     settings.options.echo ? ", echo" : "");

    if (settings.commands) {
        commandTarget = &sim;
        std::thread(readCommands).detach();
    }

    int sig = 0;
    while (sigwait(&signals, &sig) != 0) {
    }

    {
        std::lock_guard lock(commandMutex);
        commandTarget = nullptr;
    }
    sim.setEventHook(nullptr);
    sim.stop();
    if (!settings.link.empty())
        removeLink(slave, settings.link);
    return 0;
}
