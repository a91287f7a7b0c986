// The requests that come to a program from outside: to end it (SIGINT, SIGTERM, SIGHUP) and to stop
// every device (SIGUSR1, from tarvello-ctl stop-all). None of them may end the process by default
// termination while it is being served.
#include "core/endrequests.h"
#include "core/stoprequests.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace {

// Runs `body` in a child process, with no descriptor left for a new pipe unless pipeLeft: the
// status it returned, or -signal when a signal ended it.
int endOfChild(bool pipeLeft, const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (!pipeLeft) {
            const int next = ::open("/dev/null", O_RDONLY);
            ::close(next);
            const rlimit limit { rlim_t(next), rlim_t(next) };
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

} // namespace

// A request is handed to the event loop, never from the handler, with or without a pipe. A stop
// request never ends the process; of the end requests the first is served once, and further ones
// are ignored until the hard limit, after which one ends a hung program.
TEST(Requests, AreServedByTheEventLoopAndEndOnlyAHungProgram)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    struct Case {
        int signalNumber;
        bool pipeLeft;
        int limitMs; // the second request comes 60 ms after the first is served
        int end;     // of the child: 0 served once, -signal ended by it
    };
    for (const Case& c : { Case { SIGINT, true, 10000, 0 }, Case { SIGTERM, true, 10000, 0 }, Case { SIGHUP, false, 10000, 0 },
                           Case { SIGTERM, true, 20, -SIGTERM }, Case { SIGUSR1, true, 10000, 0 }, Case { SIGUSR1, false, 10000, 0 } }) {
        SCOPED_TRACE(strsignal(c.signalNumber));
        EXPECT_EQ(endOfChild(c.pipeLeft, [&c] {
            EndRequests ends(nullptr, c.limitMs);
            StopRequests stops;
            int served = 0;
            QObject::connect(&ends, &EndRequests::requested, [&served] { ++served; });
            QObject::connect(&stops, &StopRequests::requested, [&served] { ++served; });
            raise(c.signalNumber);
            const bool stop = c.signalNumber == SIGUSR1;
            if (!ends.watching() || served != 0 || EndRequests::arrived() == stop)
                return 3;
            QElapsedTimer guard; // against a hang
            for (guard.start(); served == 0 && guard.elapsed() < 5000;)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (stop || served == 0)
                return served == 1 ? 0 : 3;
            usleep(60000);
            raise(c.signalNumber);
            raise(SIGTERM);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            return served == 1 && EndRequests::arrivedName() == QLatin1String("SIG") + sigabbrev_np(c.signalNumber) ? 0 : 4;
        }), c.end);
    }
    EXPECT_EQ(endOfChild(true, [] { // without the object, a signal ends the process as it normally does
        { EndRequests ends; }
        return raise(SIGHUP);
    }), -SIGHUP);
}
