// Debian's ser2net as a device server on 127.0.0.1 for the tests, in front of a pseudo-terminal,
// started and stopped by the test.
#pragma once

#include "loopback.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

inline std::string findSer2net()
{
    for (const char* p : { "/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net" })
        if (access(p, X_OK) == 0)
            return p;
    return {};
}

// True when something listens on 127.0.0.1:port (read from the kernel's table, so that no probe
// connection reaches the server).
inline bool listening(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

// One ser2net process serving one device on 127.0.0.1 at a port of its own, in raw or RFC 2217
// mode, with the line at 4800 8N1 until a client says otherwise.
class Ser2net {
public:
    // kickOldUser: a new connection takes the port from the one holding it (else it is turned
    // away with "Port already in use").
    Ser2net(const std::string& device, bool rfc2217, bool kickOldUser = true)
        : m_port(FreeLoopbackPort())
    {
        char dir[] = "/tmp/tarvello-ser2net-XXXXXX";
        m_dir = mkdtemp(dir);
        const std::string config = m_dir + "/ser2net.yaml";
        std::ofstream(config) << "%YAML 1.1\n---\n"
                              << "connection: &bus\n"
                              << "  accepter: " << (rfc2217 ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1,"
                              << m_port << "\n"
                              << "  connector: serialdev," << device << ",4800n81,local\n"
                              << "  options:\n    kickolduser: " << (kickOldUser ? "true" : "false") << "\n"
                              << "    chardelay: false\n";
        const std::string program = findSer2net();
        const std::string log = m_dir + "/ser2net.log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        // -n: stay in the foreground, -d: log to standard output, -u: no UUCP lock files.
        std::vector<std::string> args { program, "-n", "-d", "-u", "-c", config };
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 300 && m_pid > 0 && !listening(m_port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Ser2net()
    {
        stop(SIGTERM);
        std::remove((m_dir + "/ser2net.yaml").c_str());
        std::remove((m_dir + "/ser2net.log").c_str());
        rmdir(m_dir.c_str());
    }
    bool ready() const { return m_pid > 0 && listening(m_port); }
    void stop(int signal)
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, signal);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    QString name(bool rfc2217) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(rfc2217 ? "rfc2217" : "tcp").arg(m_port);
    }
    std::string log() const
    {
        std::ifstream in(m_dir + "/ser2net.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    uint16_t m_port;
    std::string m_dir;
    pid_t m_pid = -1;
};

