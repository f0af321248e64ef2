/* LD_PRELOAD shim for end-to-end tests of the real binaries in the router
 * sandbox. It makes the process's pauses instant and records them, and
 * records sync() and reboot() instead of letting them act.
 *
 * Environment (read once, then LD_PRELOAD is removed so that children such
 * as curl, tar or passwd run unshimmed):
 *   KIV_SHIM_LOG    file that receives one line per event:
 *                   "sleep <seconds>", "sync", "reboot <hex command>"
 *   KIV_SHIM_SLEEP  "instant" (default) or "real": real keeps sleeping but
 *                   still records the pause
 *   KIV_SHIM_SLEEP_MS  with "instant": milliseconds actually slept per call
 *                   (default 0), to keep a looping daemon from spinning
 *   KIV_SHIM_GETRANDOM "missing": getrandom() fails with ENOSYS, as on a
 *                   kernel older than 3.17
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static char log_path[4096];
static int real_sleep;
static long instant_ms;
static int no_getrandom;

__attribute__((constructor)) static void shim_init(void) {
    const char* p = getenv("KIV_SHIM_LOG");
    if (p != NULL) snprintf(log_path, sizeof log_path, "%s", p);
    const char* mode = getenv("KIV_SHIM_SLEEP");
    real_sleep = mode != NULL && strcmp(mode, "real") == 0;
    const char* ms = getenv("KIV_SHIM_SLEEP_MS");
    instant_ms = ms != NULL ? strtol(ms, NULL, 10) : 0;
    const char* gr = getenv("KIV_SHIM_GETRANDOM");
    no_getrandom = gr != NULL && strcmp(gr, "missing") == 0;
    unsetenv("LD_PRELOAD");
}

static void record(const char* line) {
    if (log_path[0] == '\0') return;
    int fd = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    size_t len = strlen(line);
    ssize_t ignored = write(fd, line, len);
    (void)ignored;
    close(fd);
}

static void short_pause(void) {
    if (instant_ms <= 0) return;
    struct timespec ts = {instant_ms / 1000, (instant_ms % 1000) * 1000000L};
    int (*real_nanosleep)(const struct timespec*, struct timespec*) =
        (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
    if (real_nanosleep != NULL) real_nanosleep(&ts, NULL);
}

unsigned int sleep(unsigned int seconds) {
    char line[64];
    snprintf(line, sizeof line, "sleep %u\n", seconds);
    record(line);
    if (real_sleep) {
        unsigned int (*real)(unsigned int) = (unsigned int (*)(unsigned int))dlsym(RTLD_NEXT, "sleep");
        return real != NULL ? real(seconds) : 0;
    }
    short_pause();
    return 0;
}

void sync(void) { record("sync\n"); }

int reboot(int cmd) {
    char line[64];
    snprintf(line, sizeof line, "reboot %#x\n", (unsigned)cmd);
    record(line);
    return 0;
}

ssize_t getrandom(void* buf, size_t length, unsigned int flags) {
    if (no_getrandom) {
        errno = ENOSYS;
        return -1;
    }
    ssize_t (*real)(void*, size_t, unsigned int) = (ssize_t (*)(void*, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(buf, length, flags);
}
