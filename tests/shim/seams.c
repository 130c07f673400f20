/* SPDX-License-Identifier: GPL-3.0-or-later */
/* The one seam (seams.h). Preloaded into the program under test, it records
 * every requested sleep, in microseconds, one line each, to the file named by
 * SLEEPSHIM_LOG, and returns at once, so specified waits are never waited.
 * Built with SEAMS_LINKED into a test program, it also answers the shell
 * commands the program spawns and takes the place of dlopen() for that
 * program alone. */
#define _GNU_SOURCE
#include "seams.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MICROSECONDS_PER_SECOND 1000000LL
#define NANOSECONDS_PER_MICROSECOND 1000LL

static seams_sleep_hook sleep_hook;

void seams_on_sleep(seams_sleep_hook hook)
{
    sleep_hook = hook;
}

/* Returns non-zero when the sleep is to end as interrupted. */
static int record_sleep(long long microseconds)
{
    int interrupted = sleep_hook != NULL ? sleep_hook(microseconds) : 0;
    const char *path = getenv("SLEEPSHIM_LOG");
    if (path == NULL || *path == '\0')
        return interrupted;
    /* Opened per call: the shim keeps no state across fork and exec. */
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return interrupted;
    char line[32];
    int length = snprintf(line, sizeof line, "%lld\n", microseconds);
    if (write(fd, line, (size_t)length) != length)
        perror("sleepshim");
    close(fd);
    return interrupted;
}

static long long timespec_microseconds(const struct timespec *time)
{
    return (long long)time->tv_sec * MICROSECONDS_PER_SECOND + time->tv_nsec / NANOSECONDS_PER_MICROSECOND;
}

/* What an interrupted sleep leaves: nothing of it is said to remain. */
static int interrupted_with(struct timespec *remaining)
{
    if (remaining != NULL)
        remaining->tv_sec = remaining->tv_nsec = 0;
    errno = EINTR;
    return -1;
}

int usleep(useconds_t microseconds)
{
    if (record_sleep(microseconds)) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

unsigned int sleep(unsigned int seconds)
{
    /* An interrupted sleep says how much was left: all of it. */
    return record_sleep((long long)seconds * MICROSECONDS_PER_SECOND) ? seconds : 0;
}

int nanosleep(const struct timespec *request, struct timespec *remaining)
{
    if (record_sleep(timespec_microseconds(request)))
        return interrupted_with(remaining);
    if (remaining != NULL)
        remaining->tv_sec = remaining->tv_nsec = 0;
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *request, struct timespec *remaining)
{
    long long microseconds = timespec_microseconds(request);
    /* An absolute deadline is recorded as the time it would have waited. */
    if (flags & TIMER_ABSTIME) {
        struct timespec now;
        clock_gettime(clock, &now);
        microseconds -= timespec_microseconds(&now);
        if (microseconds < 0)
            microseconds = 0;
    }
    if (record_sleep(microseconds)) {
        if (remaining != NULL)
            remaining->tv_sec = remaining->tv_nsec = 0;
        return EINTR;
    }
    if (remaining != NULL)
        remaining->tv_sec = remaining->tv_nsec = 0;
    return 0;
}

typedef void *(*dlopen_function)(const char *, int);

void *seams_real_dlopen(const char *file, int mode)
{
    static dlopen_function real;
    if (real == NULL)
        real = (dlopen_function)dlsym(RTLD_NEXT, "dlopen");
    return real(file, mode);
}

#ifdef SEAMS_LINKED
static seams_system_hook system_hook;
static seams_library_hook library_hook;

void seams_on_system(seams_system_hook hook)
{
    system_hook = hook;
}

void seams_on_dlopen(seams_library_hook hook)
{
    library_hook = hook;
}

/* The program runs its shell commands as "sh -c COMMAND" through
 * posix_spawn and waits for them; answered commands get a child number of
 * their own that waitpid then hands the hook's status for. */
#define SEAMS_ANSWERED_FIRST 0x7FFF0000
#define SEAMS_ANSWERED_SLOTS 64
static int answered_status[SEAMS_ANSWERED_SLOTS];
static int answered_count;

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[])
{
    typedef int (*spawn_function)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                                  const posix_spawnattr_t *, char *const[], char *const[]);
    int is_shell = argv[0] != NULL && argv[1] != NULL && strcmp(argv[1], "-c") == 0 && argv[2] != NULL;
    if (system_hook != NULL && is_shell) {
        int slot = answered_count++ % SEAMS_ANSWERED_SLOTS;
        answered_status[slot] = system_hook(argv[2]);
        *pid = SEAMS_ANSWERED_FIRST + slot;
        return 0;
    }
    static spawn_function real;
    if (real == NULL)
        real = (spawn_function)dlsym(RTLD_NEXT, "posix_spawn");
    return real(pid, path, actions, attributes, argv, envp);
}

pid_t waitpid(pid_t pid, int *status, int options)
{
    typedef pid_t (*wait_function)(pid_t, int *, int);
    if (pid >= SEAMS_ANSWERED_FIRST && pid < SEAMS_ANSWERED_FIRST + SEAMS_ANSWERED_SLOTS) {
        if (status != NULL)
            *status = answered_status[pid - SEAMS_ANSWERED_FIRST];
        return pid;
    }
    static wait_function real;
    if (real == NULL)
        real = (wait_function)dlsym(RTLD_NEXT, "waitpid");
    return real(pid, status, options);
}

void *dlopen(const char *file, int mode)
{
    return seams_real_dlopen(library_hook != NULL ? library_hook(file, mode) : file, mode);
}
#else
/* Preloaded into programs that are not ours, the seam leaves their shell
 * commands and library loading alone. */
void seams_on_system(seams_system_hook hook)
{
    (void)hook;
}

void seams_on_dlopen(seams_library_hook hook)
{
    (void)hook;
}
#endif
