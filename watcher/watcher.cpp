// kivwatcher: restarts the agent through its init script when the agent's
// heartbeat file stops coming. Deliberately small and self-contained: it
// shares no code with the agent and needs nothing but the C library, so that
// a fault in the agent or its libraries cannot take the watchdog down too.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "settings_reader.h"

#define WATCHER_SETTINGS_FILE "/opt/kivclient/etc/settings"
#define HEARTBEAT_FILE "/tmp/watcher"
#define AGENT_INIT_SCRIPT "/opt/kivclient/etc/init"
#define BASE_PERIOD 300
#define HEARTBEAT_MISSES_LIMIT 12
#define SPAWN_MAX_ARGS 62

/* Closes every descriptor from 3 up. close_range does it in one call; without
 * it (older kernels) every possible descriptor is closed one by one, which
 * takes seconds when the descriptor limit is large, as in containers. The
 * system call is made directly so that the program also runs on a C library
 * older than its wrapper. */
static void close_other_descriptors(void)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
#endif
    long highest = sysconf(_SC_OPEN_MAX);
    if (highest < 0) {
        struct rlimit limit;
        highest = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? (long)limit.rlim_cur : 1024;
    }
    for (long fd = highest - 1; fd >= 3; fd--)
        close((int)fd);
}

/* Runs `program` with the arguments that follow, up to a NULL end marker,
 * detached from the watchdog's descriptors, and waits for it. Returns the
 * raw wait status, or -1 when the fork fails. */
static int spawn_and_wait(const char *program, ...) __attribute__((sentinel));

static int spawn_and_wait(const char *program, ...)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;

    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 1);
            dup2(null_fd, 2);
        }
        close_other_descriptors();

        char *argv[1 + SPAWN_MAX_ARGS + 1];
        int argc = 0;
        char *path_copy = strdup(program);
        argv[argc++] = path_copy != NULL ? path_copy : (char *)program;
        va_list args;
        va_start(args, program);
        const char *arg;
        while (argc < 1 + SPAWN_MAX_ARGS && (arg = va_arg(args, const char *)) != NULL)
            argv[argc++] = (char *)arg;
        va_end(args);
        argv[argc] = NULL;

        execvp(program, argv);
        _exit(1);
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

int main(void)
{
    const unsigned int extra_sleep = watcher_read_settings(WATCHER_SETTINGS_FILE);

    openlog("kivwatcher", LOG_PID | LOG_NDELAY, LOG_DAEMON);

    int misses = 0;
    int restarts = 0;
    for (;;) {
        const int found = access(HEARTBEAT_FILE, F_OK) == 0;
        misses++;
        if (found) {
            remove(HEARTBEAT_FILE);
            misses = 0;
        } else if (misses > HEARTBEAT_MISSES_LIMIT) {
            restarts++;
            syslog(LOG_NOTICE, "Restarting KIVClient - %d restarts.", restarts);
            spawn_and_wait(AGENT_INIT_SCRIPT, "restart_kivc", (const char *)NULL);
            misses = 0;
        }
        sleep(BASE_PERIOD);
        sleep(extra_sleep);
    }
}
