// stationsim: a weather station on a pseudo-terminal, for the end-to-end
// tests and the demo. One thread: a loop that waits for input or for the next
// byte due out.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <thread>

#include "line_speed.h"
#include "station.h"

namespace {

namespace chrono = std::chrono;

constexpr std::int64_t NsPerMs = 1000000;
constexpr std::int64_t SettingsCheckNs = 50 * NsPerMs;
constexpr std::int64_t ClosedPollNs = 5 * NsPerMs;
constexpr std::int64_t HangupGraceNs = 1000 * NsPerMs;

const char Usage[] = R"(Usage: stationsim [options]
A simulated weather station on a pseudo-terminal. Prints "PORT <slave path>"
on stdout; the program under test opens that path as its serial port.

  --offset SECONDS       station clock = local time + SECONDS (may be
                         negative); default 0
  --reference "YYYY-MM-DD HH:MM:SS"
                         the second timestamp of the reply; default: the
                         station clock at start. A clock set moves it.
  --mode BEHAVIOUR[,BEHAVIOUR...]
                         the n-th query is answered by the n-th BEHAVIOUR,
                         the last one by every later query. BEHAVIOUR: normal,
                         or items joined by '+': silent, delay=MS, short=N
                         (first N frame bytes), prefix=N / trailing=N (junk
                         bytes before / after the frame), field=I:V (frame
                         byte I 1..12 sent as V 0..255; repeatable),
                         stream=MS (junk for MS instead of a reply), hangup=N
                         (N frame bytes, then close the line and exit 0)
  --reply-delay MS       wait between a query and its reply; default 20
  --link PATH            also make a symlink PATH to the slave; removed at exit
  --log FILE             the log (one line per event); default stderr
  --help                 this text

Exit 0 on SIGTERM or SIGINT, 1 when the pty cannot be had, 2 on bad options.
)";

struct Options {
    std::int64_t offset = 0;
    std::optional<std::int64_t> reference;
    std::vector<ReplyMode> modes = std::vector<ReplyMode>(1);
    std::int64_t reply_delay_ms = 20;
    std::string link;
    std::string log_path;
};

struct Line {
    int master = -1;
    std::string slave;
    bool open = false;
    std::string settings;
};

struct Query {
    std::int64_t arrival_ns;
    std::int64_t number;
};

// The receiving side: clock sets under way and queries not yet answered.
struct Receiver {
    int set_count = -1;  // -1: no clock set under way
    std::uint8_t set_bytes[SetFieldCount] = {};
    std::int64_t queries = 0;
    std::deque<Query> waiting;
};

// The reply being sent: its bytes are built when it starts, after the delay.
struct Transmitter {
    bool busy = false;
    bool built = false;
    const ReplyMode* mode = nullptr;
    std::int64_t start_ns = 0;
    std::int64_t free_ns = 0;  // the line is free from here on
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
};

Options g_options;
Line g_line;
Receiver g_receiver;
Transmitter g_transmitter;
StationClock g_clock;
FILE* g_log = stderr;
volatile sig_atomic_t g_signalled = 0;
bool g_hung_up = false;

// Monotonic time in ns. steady_clock is CLOCK_MONOTONIC on Linux, so the log
// shows the numbers other programs read from that clock.
std::int64_t MonoNs()
{
    return chrono::nanoseconds(chrono::steady_clock::now().time_since_epoch()).count();
}

void SleepUntil(std::int64_t ns)
{
    std::this_thread::sleep_until(chrono::steady_clock::time_point(chrono::nanoseconds(ns)));
}

// Monotonic ms with 3 decimals, then the local wall-clock time to the ms.
void Log(const std::string& event)
{
    std::int64_t mono_ns = MonoNs();
    std::int64_t wall_ms = LocalNaiveMs(chrono::system_clock::now());
    Fields f = FieldsFromNaive(wall_ms / 1000);
    fprintf(g_log, "%lld.%03ld %04d-%02d-%02dT%02d:%02d:%02d.%03d %s\n",
            static_cast<long long>(mono_ns / NsPerMs), long(mono_ns / 1000 % 1000), f.year, f.month,
            f.day, f.hour, f.minute, f.second, int(wall_ms % 1000), event.c_str());
}

std::string BytesText(const char* event, const std::uint8_t* bytes, std::size_t count)
{
    std::string text = event;
    for (std::size_t i = 0; i < count; ++i) text += " " + std::to_string(bytes[i]);
    return text;
}

std::int64_t StationNowSeconds()
{
    return StationSeconds(g_clock, LocalNaiveMs(chrono::system_clock::now()));
}

void LineClosed()
{
    g_line.open = false;
    g_receiver.set_count = -1;  // a set cut off by the close is dropped
    Log("CLOSE");
}

void CheckSettings()
{
    termios settings;
    if (tcgetattr(g_line.master, &settings) != 0) return;
    std::string text = SettingsText(settings, ReadOtherBaud(g_line.master));
    if (text == g_line.settings) return;
    g_line.settings = text;
    Log("SETTINGS " + text);
}

void FinishSet()
{
    const std::uint8_t* b = g_receiver.set_bytes;
    g_receiver.set_count = -1;
    std::int64_t seconds;
    if (!NaiveFromSetBytes(b, seconds)) return;
    SetStationClock(g_clock, seconds, LocalNaiveMs(chrono::system_clock::now()));
    Log(BytesText("SET", b, SetFieldCount));
}

void Receive(std::uint8_t byte, std::int64_t now_ns)
{
    Log("RX " + std::to_string(byte));
    Receiver& r = g_receiver;
    if (r.set_count >= 0) {
        r.set_bytes[r.set_count++] = byte;
        if (r.set_count == SetFieldCount) FinishSet();
    } else if (byte == QueryByte) {
        ++r.queries;
        Log("QUERY " + std::to_string(r.queries) + " " +
            ModeForQuery(g_options.modes, r.queries).text);
        r.waiting.push_back({now_ns, r.queries});
    } else if (byte == SetByte) {
        r.set_count = 0;
    }
}

void ReadInput()
{
    for (;;) {
        std::uint8_t buffer[256];
        ssize_t count = read(g_line.master, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            // EAGAIN: all read. EIO: the other side has closed.
            if (count == 0 || errno != EAGAIN) LineClosed();
            return;
        }
        std::int64_t now = MonoNs();
        for (ssize_t i = 0; i < count; ++i) Receive(buffer[i], now);
    }
}

// A byte goes out only while the other side is open: written to a closed
// slave it would wait there for the next program to open the port.
void SendByte(std::uint8_t byte)
{
    if (g_line.open) {
        pollfd line{g_line.master, POLLIN, 0};
        if (poll(&line, 1, 0) > 0 && (line.revents & POLLHUP)) ReadInput();
    }
    bool sent = g_line.open && write(g_line.master, &byte, 1) == 1;
    Log((sent ? "TX " : "TX-LOST ") + std::to_string(byte));
}

// Input waiting on a closed line came while the other side was open, between
// two looks: it is received all the same.
void CheckReopened()
{
    pollfd line{g_line.master, POLLIN, 0};
    if (poll(&line, 1, 0) < 0 || line.revents == POLLHUP) return;
    g_line.open = true;
    Log("OPEN");
    if (line.revents & POLLIN) ReadInput();
}

// Closing the master discards what the other side has not read yet, which a
// dying serial line would not: first let it read the last bytes, within
// HangupGraceNs.
void HangUp()
{
    if (g_line.open) {
        int slave = open(g_line.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        std::int64_t limit = MonoNs() + HangupGraceNs;
        int waiting = 0;
        do {
            SleepUntil(MonoNs() + 5 * NsPerMs);  // the pty delivers through a work queue
        } while (slave >= 0 && ioctl(slave, FIONREAD, &waiting) == 0 && waiting > 0 &&
                 MonoNs() < limit && !g_signalled);
        if (slave >= 0) close(slave);
    }
    close(g_line.master);
    g_line.master = -1;
    g_line.open = false;
    g_hung_up = true;
}

// Starts, builds and sends replies whose time has come.
void Transmit(std::int64_t now)
{
    Transmitter& t = g_transmitter;
    if (!t.busy && !g_receiver.waiting.empty()) {
        Query query = g_receiver.waiting.front();
        g_receiver.waiting.pop_front();
        t.mode = &ModeForQuery(g_options.modes, query.number);
        std::int64_t delay = t.mode->delay_ms >= 0 ? t.mode->delay_ms : g_options.reply_delay_ms;
        t.start_ns = std::max(query.arrival_ns + delay * NsPerMs, t.free_ns);
        t.busy = true;
        t.built = false;
    }
    if (!t.busy || now < t.start_ns) return;
    if (!t.built) {
        t.bytes = ReplyBytes(*t.mode, BuildFrame(StationNowSeconds(), g_clock.reference));
        t.built = true;
        t.sent = 0;
    }
    // A byte is written when its last bit would have arrived.
    while (t.sent < t.bytes.size() && now >= t.start_ns + std::int64_t(t.sent + 1) * ByteNs)
        SendByte(t.bytes[t.sent++]);
    if (t.sent < t.bytes.size()) return;
    Log(BytesText("REPLY", t.bytes.data(), t.bytes.size()));
    t.busy = false;
    t.free_ns = t.start_ns + std::int64_t(t.bytes.size()) * ByteNs;
    if (t.mode->hangup) HangUp();
}

// When the loop must next act, at most SettingsCheckNs from now.
std::int64_t NextEvent(std::int64_t now)
{
    const Transmitter& t = g_transmitter;
    if (!t.busy) return g_receiver.waiting.empty() ? now + SettingsCheckNs : now;
    return std::min(now + SettingsCheckNs,
                    t.built ? t.start_ns + std::int64_t(t.sent + 1) * ByteNs : t.start_ns);
}

// Waits until `until` or until input comes, whichever is first. A closed line
// reports POLLHUP at once, so then it is looked at every ClosedPollNs.
void Wait(std::int64_t until)
{
    std::int64_t now = MonoNs();
    if (g_line.open) {
        pollfd line{g_line.master, POLLIN, 0};
        int timeout = int(std::max<std::int64_t>(0, (until - now) / NsPerMs));
        int ready = poll(&line, 1, timeout);
        if (ready > 0) ReadInput();
        if (ready != 0) return;
    } else {
        until = std::min(until, now + ClosedPollNs);
    }
    SleepUntil(until);
    if (!g_line.open) CheckReopened();
}

void Run()
{
    while (!g_signalled) {
        CheckSettings();
        Transmit(MonoNs());
        if (g_hung_up) break;
        Wait(NextEvent(MonoNs()));
    }
}

bool OpenLine()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return false;
    termios raw;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || tcgetattr(master, &raw) != 0) {
        close(master);
        return false;
    }
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    g_line.master = master;
    g_line.slave = ptsname(master);
    // Until the slave has been opened and closed once, the master reports no
    // hang-up, and the program's first open could not be seen.
    int slave = open(g_line.slave.c_str(), O_RDWR | O_NOCTTY);
    if (slave >= 0) close(slave);
    return true;
}

bool MakeLink()
{
    const char* link = g_options.link.c_str();
    struct stat existing;
    if (lstat(link, &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            fprintf(stderr, "stationsim: %s exists and is not a link\n", link);
            return false;
        }
        unlink(link);
    }
    if (symlink(g_line.slave.c_str(), link) != 0) {
        fprintf(stderr, "stationsim: cannot link %s: %s\n", link, strerror(errno));
        return false;
    }
    return true;
}

bool ParseOptions(int argc, char** argv, std::string& error)
{
    Options& o = g_options;
    static const std::string known[] = {"--offset",      "--reference", "--mode",
                                        "--reply-delay", "--link",      "--log"};
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (std::find(std::begin(known), std::end(known), name) == std::end(known)) {
            error = "unknown option " + name;
            return false;
        }
        if (i + 1 == argc) {
            error = name + " needs a value";
            return false;
        }
        std::string value = argv[i + 1];
        bool good = true;
        if (name == "--offset") {
            good = ParseInteger(value, -4000000000, 4000000000, o.offset);
        } else if (name == "--reference") {
            good = NaiveFromText(value, o.reference.emplace());
        } else if (name == "--mode") {
            if (!ParseModes(value, o.modes, error)) return false;
        } else if (name == "--reply-delay") {
            good = ParseInteger(value, 0, 600000, o.reply_delay_ms);
        } else if (name == "--link") {
            o.link = value;
        } else if (name == "--log") {
            o.log_path = value;
        }
        if (!good) {
            error = "bad value for " + name + ": \"" + value + "\"";
            return false;
        }
    }
    return true;
}

void OnSignal(int)
{
    g_signalled = 1;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(Usage, stdout);
            return 0;
        }
    }
    std::string error;
    if (!ParseOptions(argc, argv, error)) {
        fprintf(stderr, "stationsim: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (!g_options.log_path.empty()) {
        g_log = fopen(g_options.log_path.c_str(), "w");
        if (!g_log) {
            fprintf(stderr, "stationsim: cannot write %s: %s\n", g_options.log_path.c_str(),
                    strerror(errno));
            return 2;
        }
    }
    setvbuf(g_log, nullptr, _IOLBF, 0);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGTERM, SIGINT}) sigaction(number, &action, nullptr);

    if (!OpenLine()) {
        fprintf(stderr, "stationsim: no pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    if (!g_options.link.empty() && !MakeLink()) return 1;

    g_clock.offset_ms = g_options.offset * 1000;
    g_clock.reference = g_options.reference ? *g_options.reference : StationNowSeconds();

    printf("PORT %s\n", g_line.slave.c_str());
    fflush(stdout);
    CheckSettings();
    Run();

    if (g_line.master >= 0) close(g_line.master);
    if (!g_options.link.empty()) unlink(g_options.link.c_str());
    return 0;
}
