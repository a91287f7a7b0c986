// A program a test starts, with fork and exec, its standard output read through a pipe.
// The tests of our threads use it instead of QProcess: Qt starts its processes in a way that
// ThreadSanitizer cannot follow, and after a QProcess has run, ThreadSanitizer reports every hand-over
// between two threads under one mutex as a data race (a program of twenty lines shows it).
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess()
    {
        kill(SIGKILL);
        wait();
        if (m_output >= 0) ::close(m_output);
    }

    // `extraEnvironment`: "NAME=value" entries added to this process's environment.
    bool start(const QString& program, const QStringList& arguments, const QStringList& extraEnvironment = {})
    {
        std::vector<std::string> strings { QFile::encodeName(program).toStdString() };
        for (const QString& a : arguments) strings.push_back(a.toStdString());
        std::vector<char*> argv;
        for (std::string& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        std::vector<std::string> added;
        for (const QString& e : extraEnvironment) added.push_back(e.toStdString());
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        for (std::string& s : added) envp.push_back(s.data());
        envp.push_back(nullptr);
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        m_output = pipeFds[0];
        return m_pid > 0;
    }
    pid_t pid() const { return m_pid; }
    void kill(int signal = SIGKILL)
    {
        if (m_pid > 0 && !m_ended) ::kill(m_pid, signal);
    }
    // Waits up to `ms` for the end; true once it has ended.
    bool wait(int ms = 30000)
    {
        for (int waited = 0; m_pid > 0 && !m_ended; waited += 10) {
            if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
                m_ended = true;
                break;
            }
            if (waited >= ms) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return m_ended;
    }
    bool exitedWithZero() const { return m_ended && WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0; }
    // What the program wrote since the last call, waiting up to `ms` for the first bytes.
    QByteArray read(int ms = 0)
    {
        QByteArray out;
        pollfd p { m_output, POLLIN, 0 };
        while (m_output >= 0 && ::poll(&p, 1, out.isEmpty() ? ms : 0) > 0 && (p.revents & POLLIN)) {
            char buffer[4096];
            const ssize_t n = ::read(m_output, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, n);
        }
        return out;
    }
    // Everything it writes until it ends, within `ms`.
    QByteArray readToEnd(int ms)
    {
        QByteArray out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            out += read(20);
            if (wait(0)) {
                out += read(0);
                break;
            }
        }
        return out;
    }

private:
    pid_t m_pid = -1;
    int m_output = -1;
    int m_status = 0;
    bool m_ended = false;
};
