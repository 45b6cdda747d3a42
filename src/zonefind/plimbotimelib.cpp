// Local zone discovery: the postcode zone table, the postcode program, the
// choice of TZ and the current offset from UTC.
//
// Every failure here is fatal: one message (standard error in debug mode,
// syslog otherwise) and exit status 1.

#include "zonefind/plimbotimelib.h"

#include "tzlib/localtime.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace zonefind {

std::int32_t verbose = 0;
std::array<char*, MAX_ROWS> Postcode{};
std::array<char*, MAX_ROWS> Timezone{};
std::int32_t Listsize = 0;
const char* PostcodeZones = "/etc/postcodezones";
const char* Get_Postalcode = "/var/hack/bin/get_postalcode";

namespace {

constexpr int LINE_BUFFER_SIZE = 199;
constexpr std::size_t DRAIN_BUFFER_SIZE = 90;
constexpr int MAX_RUNS = 4;
constexpr unsigned RETRY_PAUSE_SECONDS = 2;
constexpr std::int64_t RUN_LIMIT_MS = 10'000;  // a postcode program gets this long per run

char* box_postcode = nullptr;  // kept for the life of the process, as the table is

// Writes one diagnostic where this subsystem's messages go.
[[gnu::format(printf, 1, 2)]] void report(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    if (verbose) {
        std::vfprintf(stderr, format, ap);
    } else {
        vsyslog(LOG_INFO, format, ap);
    }
    va_end(ap);
}

// Reports and ends the process with status 1.
#define FAIL(...)             \
    do {                      \
        report(__VA_ARGS__);  \
        std::exit(1);         \
    } while (0)

// ---- the postcode program ----

// A running postcode program: its process and the read end of its output.
struct command_pipe {
    pid_t pid;
    int fd;
};

std::int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1'000'000;
}

// Starts the command through the shell with its standard output a pipe, as popen(command, "r").
bool open_command(const char* command, command_pipe& cp) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    const pid_t pid = fork();
    if (pid == -1) {
        const int saved = errno;
        close(fds[0]);
        close(fds[1]);
        errno = saved;
        return false;
    }
    if (pid == 0) {
        // A process group of its own, so that a run that overstays can be ended with all
        // it started; its standard streams and environment stay the daemon's.
        setpgid(0, 0);
        if (fds[1] == STDOUT_FILENO) {
            fcntl(STDOUT_FILENO, F_SETFD, 0);
        } else {
            dup2(fds[1], STDOUT_FILENO);
        }
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);  // also here: whichever of the two runs first
    close(fds[1]);
    cp = command_pipe{pid, fds[0]};
    return true;
}

// Reads up to len bytes before the deadline; the count, or -1 with errno (ETIMEDOUT at the deadline).
ssize_t read_before(int fd, char* buf, std::size_t len, std::int64_t deadline) {
    for (;;) {
        const std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return -1;
        if (ready <= 0) continue;
        const ssize_t n = read(fd, buf, len);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

// Reads exactly len bytes unless the output ends or fails first; false with errno set then.
bool read_answer(int fd, char* buf, std::size_t len, std::int64_t deadline) {
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = read_before(fd, buf + got, len - got, deadline);
        if (n < 0) return false;
        if (n == 0) {
            errno = ENODATA;  // the output ended early: no call failed, so name the true cause
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads the rest of the output and throws it away; a failed read ends it like the end of output.
bool drain(int fd, std::int64_t deadline) {
    char sink[DRAIN_BUFFER_SIZE];
    for (;;) {
        const ssize_t n = read_before(fd, sink, sizeof sink, deadline);
        if (n == 0) return true;
        if (n < 0) return errno != ETIMEDOUT;
    }
}

// Waits for the program to end, as pclose does, but no later than the deadline.
bool wait_before(pid_t pid, std::int64_t deadline) {
    // A process descriptor becomes readable when the program ends; without one, poll.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r == -1 && errno != EINTR)) break;
        const std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            if (pidfd >= 0) close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            pollfd pfd{pidfd, POLLIN, 0};
            poll(&pfd, 1, static_cast<int>(left));
        } else {
            const timespec pause{0, 1'000'000};
            nanosleep(&pause, nullptr);
        }
    }
    if (pidfd >= 0) close(pidfd);
    return true;
}

// Ends a program that overran its time, and whatever it started.
void end_overrun(const command_pipe& cp) {
    kill(-cp.pid, SIGKILL);
    waitpid(cp.pid, nullptr, 0);
    close(cp.fd);
}

}  // namespace

// ---- the postcode zone table ----

void read_postcode_zones() {
    FILE* f = std::fopen(PostcodeZones, "r");
    if (f == nullptr) FAIL("Can't open %s: %s\n", PostcodeZones, std::strerror(errno));
    Listsize = 0;
    char line[LINE_BUFFER_SIZE];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (line[0] != '#') {
            const std::size_t len = std::strlen(line);
            if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
            char* tab = std::strchr(line, '\t');
            if (tab != nullptr) {
                *tab = '\0';
                char* postcode = strdup(line);
                char* zone = strdup(tab + 1);
                if (postcode == nullptr || zone == nullptr) {
                    FAIL("Can't store a row of %s: %s\n", PostcodeZones, std::strerror(ENOMEM));
                }
                Postcode[Listsize] = postcode;
                Timezone[Listsize] = zone;
                ++Listsize;
            }
        }
        if (Listsize > MAX_ROWS - 1) break;
    }
    std::fclose(f);
}

int run_postcode_program(char (&postcode)[POSTCODE_LENGTH + 1]) {
    postcode[POSTCODE_LENGTH] = '\0';
    command_pipe cp{};
    if (!open_command(Get_Postalcode, cp)) return -errno;
    const std::int64_t deadline = monotonic_ms() + RUN_LIMIT_MS;
    if (!read_answer(cp.fd, postcode, POSTCODE_LENGTH, deadline)) {
        const int error = errno;
        if (error == ETIMEDOUT || !wait_before(cp.pid, deadline)) {
            end_overrun(cp);
        } else {
            close(cp.fd);
        }
        return error;
    }
    if (!drain(cp.fd, deadline) || !wait_before(cp.pid, deadline)) {
        end_overrun(cp);
        return ETIMEDOUT;
    }
    close(cp.fd);
    return 0;
}

char* get_postcode() {
    char postcode[POSTCODE_LENGTH + 1];
    for (int attempts = 0;;) {
        const int result = run_postcode_program(postcode);
        if (result < 0) FAIL("Failed to open get_postalcode pipe: %s\n", std::strerror(-result));
        if (result > 0) FAIL("Failed to read from get_postalcode pipe: %s\n", std::strerror(result));
        if (std::strcmp(postcode, "retry") != 0) return strdup(postcode);
        sleep(RETRY_PAUSE_SECONDS);
        ++attempts;
        if (attempts >= MAX_RUNS) FAIL("Failed %d times to get_postalcode\n", attempts);
    }
}

// ---- zone choice and offset ----

void set_tz_variable() {
    if (Listsize == 0) read_postcode_zones();
    std::free(box_postcode);  // a second choice replaces the first
    char* postcode = box_postcode = get_postcode();
    if (postcode == nullptr) FAIL("Null postcode in set_tz_variable()\n");
    if (verbose) std::fprintf(stderr, "Our postcode is %s. ", postcode);
    for (std::int32_t i = 0; i < Listsize; ++i) {
        if (std::strcmp(Postcode[i], postcode) != 0) continue;
        if (verbose) std::fprintf(stderr, "Found matching timezone %s\n", Timezone[i]);
        if (setenv("TZ", Timezone[i], 1) != 0) {
            FAIL("Error setting the TZ variable: %s\n", std::strerror(errno));
        }
        return;
    }
    FAIL("No matching timezone for postcode %s\n", postcode);
}

std::int32_t get_timezone_offset(std::int32_t hours_back) {
    if (std::getenv("TZ") == nullptr) set_tz_variable();
    if (std::getenv("TZ") == nullptr) return -1;

    // The clock holds local time: its reading less the offset approximates the UTC instant,
    // and the offset in force at that instant is the answer. 32-bit seconds, wrapping as
    // the rest of the system counts them.
    const std::int64_t now = std::time(nullptr) - std::int64_t{3600} * hours_back;
    std::int32_t t = static_cast<std::int32_t>(now);
    t = static_cast<std::int32_t>(std::int64_t{t} - tzlib::localtime(&t)->tm_gmtoff);
    const struct tm* tmp = tzlib::localtime(&t);
    const auto offset = static_cast<std::int32_t>(tmp->tm_gmtoff);
    if (verbose && hours_back == 0) {
        std::fprintf(stderr, "Offset %d for timezone %s, daylight saving is %d\n", offset, tmp->tm_zone,
                     tmp->tm_isdst);
    }
    return offset;
}

}  // namespace zonefind
