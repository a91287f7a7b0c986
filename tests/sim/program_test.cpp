// The tarvello-sim program as a user runs it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "protocol/frames.h"
#include "pty_port.h"

namespace {

struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
    FILE* in = nullptr; // its standard input, when asked for
    std::string err; // stderr goes to a file so the child never blocks on it

    int wait()
    {
        if (in)
            std::fclose(in);
        in = nullptr;
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (out)
            std::fclose(out);
        out = nullptr;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~Child()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            wait();
        }
    }
};

std::string tempPath(const std::string& name)
{
    return testing::TempDir() + "tarvello_sim_" + std::to_string(::getpid()) + "_" + name;
}

void run(Child& c, std::vector<std::string> args, bool withInput = false)
{
    int pipeFd[2];
    int inFd[2] = {-1, -1};
    ASSERT_EQ(::pipe(pipeFd), 0);
    if (withInput) {
        ASSERT_EQ(::pipe(inFd), 0);
    }
    c.err = tempPath("stderr");
    c.pid = ::fork();
    ASSERT_GE(c.pid, 0);
    if (c.pid == 0) {
        if (withInput) {
            ::dup2(inFd[0], 0);
            ::close(inFd[1]);
        }
        ::dup2(pipeFd[1], 1);
        std::freopen(c.err.c_str(), "w", stderr);
        ::close(pipeFd[0]);
        std::vector<char*> argv{const_cast<char*>(TARVELLO_SIM_EXE)};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(TARVELLO_SIM_EXE, argv.data());
        ::_exit(127);
    }
    ::close(pipeFd[1]);
    c.out = ::fdopen(pipeFd[0], "r");
    if (withInput) {
        ::close(inFd[0]);
        c.in = ::fdopen(inFd[1], "w");
    }
}

std::string firstLine(Child& c)
{
    char buf[512] = {};
    if (!std::fgets(buf, sizeof buf, c.out))
        return {};
    std::string s = buf;
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(SimProgram, ServesDevicesThroughTheLinkAndCleansUp)
{
    const std::string link = tempPath("link"), log = tempPath("log");
    Child c;
    run(c, {"--devices", "2:5", "--devices=1:10-11", "--offline", "1:11", "--link", link, "--log", log,
            "--turnaround-ms", "5", "--quiet"});
    const std::string slave = firstLine(c);
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;

    {
        PtyPort port(link);
        ASSERT_TRUE(port.isOpen());
        Bytes q(9), r(9);
        EncodeShortFrame({2, 5, CmdAskState}, q.data());
        EncodeShortFrame({2, 5, 0xFF}, r.data());
        ASSERT_TRUE(port.send(Bytes{0x31, 0x01, 0x02}));
        ASSERT_TRUE(port.send(q));
        EXPECT_EQ(port.read(9), r);
        EncodeShortFrame({1, 11, CmdAskState}, q.data());
        ASSERT_TRUE(port.send(q));
        EXPECT_TRUE(port.read(9, 200ms).empty()); // off line
    }

    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(c.wait(), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind";
    const std::string text = slurp(log);
    EXPECT_NE(text.find(" RX FF AC E1 E2 00 05 0D 00 F4 | status query group 2 ID 5"), std::string::npos) << text;
    EXPECT_NE(text.find(" TX FF AC E1 E2 00 05 FF 01 E6 | reply: group 2 ID 5 on line"), std::string::npos)
        << text;
    EXPECT_NE(text.find(" GARBAGE 31 01 02 | not a frame (3 bytes)"), std::string::npos) << text;
    EXPECT_TRUE(slurp(c.err).empty()) << "--quiet still traced";
    std::remove(log.c_str());
    std::remove(c.err.c_str());
}

TEST(SimProgram, LineOptionsReachTheBus)
{
    // A motion frame is sent once the reply has begun (75 ms long at 1200 baud);
    // --quiet stands for neither mode.
    struct Case { std::string flag; bool echo, twoWire; };
    Bytes q(9), up(9);
    EncodeShortFrame({2, 5, CmdAskState}, q.data());
    EncodeShortFrame({2, 6, CmdUp}, up.data());
    for (const Case& c : {Case{"--quiet", false, false}, Case{"--echo", true, false}, Case{"--two-wire", false, true}}) {
        SCOPED_TRACE(c.flag);
        const std::string log = tempPath("log");
        Child child;
        run(child, {"--devices", "2:5,2:6", "--baud", "1200", "--log", log, "--quiet", c.flag});
        {
            PtyPort port(firstLine(child));
            ASSERT_TRUE(port.send(q));
            Bytes start = c.echo ? q : Bytes{};
            start.push_back(FrameHeader0);
            EXPECT_EQ(port.read(start.size(), 2000ms), start);
            ASSERT_TRUE(port.send(up));
            EXPECT_EQ(port.read(c.echo ? 17 : 8, 2000ms).size(), c.echo ? 17u : 8u); // echo mixed with the reply
        }
        ::kill(child.pid, SIGTERM);
        EXPECT_EQ(child.wait(), 0);
        EXPECT_EQ(slurp(log).find(" COLLISION FF AC E1 E2 00 06 DD") != std::string::npos, c.twoWire);
        std::remove(log.c_str());
        std::remove(child.err.c_str());
    }
}

TEST(SimProgram, CommandsSwitchDevicesOffAndOnWhileItRuns)
{
    // Each line on standard input, its answer, and whether 2:5 answers a status query after it.
    struct Case { const char* line; const char* answer; bool answers; };
    const Case cases[] = {
        {"offline 2:5", "ok", false},
        {"online 2:5", "ok", true},
        {"offline 2:5,2:6", "ok", false},
        {"online 2:5-6", "ok", true},
        {"offline 2:9", "offline: no device 2:9", true},
        {"offline 2:x", "offline: ", true},
        {"reboot 2:5", "not a command: \"reboot 2:5\" (offline LIST or online LIST)", true},
        {"offline", "not a command: ", true},
    };
    Child c;
    run(c, {"--devices", "2:5,2:6", "--turnaround-ms", "5", "--quiet", "--commands"}, true);
    PtyPort port(firstLine(c));
    ASSERT_TRUE(port.isOpen());
    Bytes q(9), r(9);
    EncodeShortFrame({2, 5, CmdAskState}, q.data());
    EncodeShortFrame({2, 5, 0xFF}, r.data());
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        std::fprintf(c.in, "%s\n", k.line);
        std::fflush(c.in);
        EXPECT_EQ(firstLine(c).rfind(k.answer, 0), 0u);
        ASSERT_TRUE(port.send(q));
        EXPECT_EQ(port.read(9, 200ms), k.answers ? r : Bytes{});
    }
    std::fclose(c.in); // the end of the input ends the reading, not the simulator
    c.in = nullptr;
    ASSERT_TRUE(port.send(q));
    EXPECT_EQ(port.read(9, 200ms), r);
    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(c.wait(), 0);
    std::remove(c.err.c_str());
}

TEST(SimProgram, BadArgumentsAreRefused)
{
    const std::vector<std::vector<std::string>> cases{
        {"--devices", "2:0"},
        {"--devices", "2:5", "--offline", "2:6"}, // a fault for a device that is not there
        {"--baud", "fast"},
        {"--bogus"},
        {"--device-file", "/nonexistent/devices.txt"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front() + " " + args.back());
        Child c;
        run(c, args);
        EXPECT_EQ(c.wait(), 2);
        EXPECT_NE(slurp(c.err).find("tarvello-sim: "), std::string::npos);
        std::remove(c.err.c_str());
    }
}

} // namespace
