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

// Events are handled until done() or a guard against a hang runs out.
bool handleEventsUntil(const std::function<bool()>& done)
{
    QElapsedTimer guard;
    guard.start();
    while (!done() && guard.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// How a child process that runs `body` ended: its exit status, or -signal when a signal ended it.
int endOfChild(const std::function<void()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// No descriptor left for a new pipe.
void useUpDescriptors()
{
    const int next = ::open("/dev/null", O_RDONLY);
    ::close(next);
    const rlimit limit { rlim_t(next), rlim_t(next) };
    setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

TEST(EndRequests, EachSignalIsServedOnceByTheEventLoop)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    for (int signalNumber : { SIGINT, SIGTERM, SIGHUP }) {
        SCOPED_TRACE(strsignal(signalNumber));
        EndRequests ends;
        ASSERT_TRUE(ends.watching());
        int served = 0;
        QObject::connect(&ends, &EndRequests::requested, [&served] { ++served; });
        raise(signalNumber);
        EXPECT_TRUE(EndRequests::arrived());
        EXPECT_EQ(served, 0); // never from the handler
        EXPECT_TRUE(handleEventsUntil([&] { return served > 0; }));
        raise(signalNumber); // a second one while ending: the process goes on
        raise(SIGTERM);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        EXPECT_EQ(served, 1);
        EXPECT_EQ(EndRequests::arrivedName(), QString::fromLatin1(sigabbrev_np(signalNumber)).prepend("SIG"));
    }
}

TEST(EndRequests, AFurtherSignalAfterTheHardLimitEndsAHungProgram)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    struct Case {
        int limitMs;
        int waitMs; // between the first signal and the second
        int end;    // of the child: 0 exited, -SIGTERM ended by it
    };
    const Case cases[] = { { 10000, 0, 0 }, { 20, 60, -SIGTERM } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limitMs);
        EXPECT_EQ(endOfChild([&] {
            EndRequests ends(nullptr, c.limitMs);
            raise(SIGTERM);
            usleep(useconds_t(c.waitMs) * 1000);
            raise(SIGTERM);
        }), c.end);
    }
    // Without the object, the signals end the process as they normally do.
    EXPECT_EQ(endOfChild([] {
        { EndRequests ends; }
        raise(SIGHUP);
    }), -SIGHUP);
}

TEST(EndRequests, ASignalIsServedWithoutAPipe)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    EXPECT_EQ(endOfChild([] {
        useUpDescriptors();
        EndRequests ends;
        bool served = false;
        QObject::connect(&ends, &EndRequests::requested, [&served] { served = true; });
        raise(SIGTERM);
        _exit(handleEventsUntil([&] { return served; }) ? 0 : 3);
    }), 0);
}

// A stop request reaches the event loop, and never ends the process, whether its pipe could be
// made or not.
TEST(StopRequests, ARequestNeverEndsTheProcess)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    for (bool pipeLeft : { true, false }) {
        SCOPED_TRACE(pipeLeft ? "with a pipe" : "without a pipe");
        EXPECT_EQ(endOfChild([pipeLeft] {
            if (!pipeLeft)
                useUpDescriptors();
            StopRequests requests;
            bool served = false;
            QObject::connect(&requests, &StopRequests::requested, [&served] { served = true; });
            raise(SIGUSR1);
            _exit(handleEventsUntil([&] { return served; }) ? 0 : 3);
        }), 0);
    }
}
