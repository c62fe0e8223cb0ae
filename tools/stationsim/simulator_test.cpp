// The built simulator on a real pseudo-terminal, as the program under test
// sees it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "line_speed.h"
#include "station.h"

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Simulator : public testing::Test {
   protected:
    void SetUp() override
    {
        char dir[] = "/tmp/stationsim_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        link_ = dir_ + "/station";
        log_ = dir_ + "/log";
    }

    void TearDown() override
    {
        if (port_ >= 0) close(port_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(link_.c_str());
        unlink(log_.c_str());
        rmdir(dir_.c_str());
    }

    // Starts the simulator and reads its PORT line.
    void Start(std::vector<std::string> args)
    {
        args.insert(args.begin(), {STATIONSIM_PATH, "--link", link_, "--log", log_});
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            dup2(out[1], 1);
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        pollfd ready{out[0], POLLIN, 0};
        while (poll(&ready, 1, 2000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        ASSERT_EQ(line.rfind("PORT /dev/pts/", 0), 0u) << line;
        char target[256] = {};
        ASSERT_GT(readlink(link_.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(line.substr(5), target);
    }

    // newer_way: the speed as BOTHER with the rate in termios2, as Wine 10 sets it.
    void OpenPort(bool newer_way = false)
    {
        port_ = open(link_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(port_, 0);
        termios settings;
        ASSERT_EQ(tcgetattr(port_, &settings), 0);
        cfmakeraw(&settings);
        if (!newer_way) cfsetspeed(&settings, B1200);
        ASSERT_EQ(tcsetattr(port_, TCSANOW, &settings), 0);
        EXPECT_TRUE(!newer_way || SetOtherBaud(port_, 1200));
    }

    void Send(std::initializer_list<std::uint8_t> bytes, useconds_t gap_us = 0)
    {
        for (std::uint8_t byte : bytes) {
            ASSERT_EQ(write(port_, &byte, 1), 1);
            usleep(gap_us);
        }
    }

    // Up to `count` bytes with their arrival times; fewer when a byte does not
    // come within wait_ms or the line dies.
    std::vector<std::uint8_t> Receive(std::size_t count, int wait_ms,
                                      std::vector<std::int64_t>* times = nullptr)
    {
        std::vector<std::uint8_t> bytes;
        pollfd ready{port_, POLLIN, 0};
        std::uint8_t byte;
        while (bytes.size() < count && poll(&ready, 1, wait_ms) > 0 && read(port_, &byte, 1) == 1) {
            bytes.push_back(byte);
            if (times) times->push_back(NowMs());
        }
        return bytes;
    }

    // The exit code once the simulator has ended, -1 if it does not in time.
    int ExitCode(int wait_ms)
    {
        int status = 0;
        for (int waited = 0; waited < wait_ms; waited += 10) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

    bool LinkGone()
    {
        struct stat info;
        return lstat(link_.c_str(), &info) != 0 && errno == ENOENT;
    }

    std::string dir_, link_, log_;
    pid_t pid_ = -1;
    int port_ = -1;
};

std::int64_t ClockOf(const std::vector<std::uint8_t>& frame, int first)
{
    const std::uint8_t* f = &frame[first];
    std::int64_t seconds = -1;
    NaiveFromFields({2000 + f[5], f[4], f[3], f[0], f[1], f[2]}, seconds);
    return seconds;
}

TEST_F(Simulator, AnswersPacedTakesClockSetAndEndsOnSigterm)
{
    Start({"--offset", "7200", "--reference", "2001-02-03 04:05:06"});
    OpenPort(true);

    std::int64_t sent = NowMs();
    Send({100});
    std::vector<std::int64_t> times;
    auto frame = Receive(13, 1000, &times);
    ASSERT_EQ(frame.size(), 13u);
    EXPECT_EQ(frame[0], 91);
    EXPECT_GE(times.back() - sent, 100);
    EXPECT_GE(times.back() - times.front(), 90);  // spread out, not one burst
    std::int64_t expected = LocalNaiveMs(std::chrono::system_clock::now()) / 1000 + 7200;
    EXPECT_NEAR(double(ClockOf(frame, 1)), double(expected), 2);
    EXPECT_EQ(std::vector<std::uint8_t>(frame.begin() + 7, frame.end()),
              std::vector<std::uint8_t>({4, 5, 6, 3, 2, 1}));

    Send({110, 12, 34, 56, 15, 6, 30}, 10000);
    // The program closes the port between sessions; the station stays, and
    // forgets a set cut off by the close.
    Send({110, 1, 2});
    close(port_);
    usleep(60000);
    OpenPort();
    Send({100});
    frame = Receive(13, 1000);
    ASSERT_EQ(frame.size(), 13u);
    std::int64_t set_to = 0;
    ASSERT_TRUE(NaiveFromFields({2030, 6, 15, 12, 34, 56}, set_to));
    EXPECT_GE(ClockOf(frame, 1), set_to);
    EXPECT_LE(ClockOf(frame, 1), set_to + 1);
    EXPECT_EQ(ClockOf(frame, 7), set_to);

    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(ExitCode(2000), 0);
    EXPECT_TRUE(LinkGone());
    std::stringstream log;
    log << std::ifstream(log_).rdbuf();
    for (const char* event : {" SETTINGS 1200 8N1\n", " TX 91\n", " SET 12 34 56 15 6 30\n",
                              " CLOSE\n", " QUERY 2 normal\n"})
        EXPECT_NE(log.str().find(event), std::string::npos) << event << "in:\n" << log.str();
    // Read from termios2 in the first session, before the second set it the older way.
    EXPECT_LT(log.str().find(" SETTINGS 1200 8N1\n"), log.str().find(" CLOSE\n")) << log.str();
}

TEST_F(Simulator, ShortReplyThenHangup)
{
    ASSERT_EQ(symlink("/dev/null", link_.c_str()), 0);  // a link left from before is replaced
    Start({"--mode", "short=3,hangup=4"});
    OpenPort();
    Send({100});
    EXPECT_EQ(Receive(13, 300).size(), 3u);
    Send({100});
    auto bytes = Receive(13, 1000);
    ASSERT_EQ(bytes.size(), 4u);
    EXPECT_EQ(bytes[0], 91);
    EXPECT_EQ(ExitCode(1000), 0);
    EXPECT_TRUE(LinkGone());
}

}  // namespace
