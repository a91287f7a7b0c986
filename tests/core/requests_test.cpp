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

// Events are handled until a request is served or a guard against a hang runs out.
bool handleEventsUntil(const int& served)
{
    QElapsedTimer guard;
    guard.start();
    while (served == 0 && guard.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return served > 0;
}

} // namespace

// The first request is handed to the event loop once, never from the handler, with or without a
// pipe; further ones are ignored until the hard limit, after which one ends a hung program.
TEST(EndRequests, TheFirstIsServedOnceAndAFurtherOneEndsOnlyAfterTheHardLimit)
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
                           Case { SIGTERM, true, 20, -SIGTERM } }) {
        SCOPED_TRACE(strsignal(c.signalNumber));
        EXPECT_EQ(endOfChild(c.pipeLeft, [&c] {
            EndRequests ends(nullptr, c.limitMs);
            int served = 0;
            QObject::connect(&ends, &EndRequests::requested, [&served] { ++served; });
            raise(c.signalNumber);
            if (!ends.watching() || served != 0 || !EndRequests::arrived() || !handleEventsUntil(served))
                return 3;
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

// A stop request reaches the event loop and never ends the process, whether its pipe could be
// made or not.
TEST(StopRequests, ARequestNeverEndsTheProcess)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    for (bool pipeLeft : { true, false })
        EXPECT_EQ(endOfChild(pipeLeft, [] {
            StopRequests requests;
            int served = 0;
            QObject::connect(&requests, &StopRequests::requested, [&served] { ++served; });
            raise(SIGUSR1);
            return handleEventsUntil(served) ? 0 : 3;
        }), 0) << pipeLeft;
}
