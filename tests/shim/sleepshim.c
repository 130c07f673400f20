/* SPDX-License-Identifier: GPL-3.0-or-later */
/* The sleep shim: preloaded into the program under test, it records every
 * requested sleep, in microseconds, one line each, to the file named by
 * SLEEPSHIM_LOG, and returns at once, so specified waits are never waited. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#define MICROSECONDS_PER_SECOND 1000000LL
#define NANOSECONDS_PER_MICROSECOND 1000LL

static void record_sleep(long long microseconds)
{
    const char *path = getenv("SLEEPSHIM_LOG");
    if (path == NULL || *path == '\0')
        return;
    /* Opened per call: the shim keeps no state across fork and exec. */
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[32];
    int length = snprintf(line, sizeof line, "%lld\n", microseconds);
    if (write(fd, line, (size_t)length) != length)
        perror("sleepshim");
    close(fd);
}

static long long timespec_microseconds(const struct timespec *time)
{
    return (long long)time->tv_sec * MICROSECONDS_PER_SECOND + time->tv_nsec / NANOSECONDS_PER_MICROSECOND;
}

int usleep(useconds_t microseconds)
{
    record_sleep(microseconds);
    return 0;
}

unsigned int sleep(unsigned int seconds)
{
    record_sleep((long long)seconds * MICROSECONDS_PER_SECOND);
    return 0;
}

int nanosleep(const struct timespec *request, struct timespec *remaining)
{
    record_sleep(timespec_microseconds(request));
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
    record_sleep(microseconds);
    if (remaining != NULL)
        remaining->tv_sec = remaining->tv_nsec = 0;
    return 0;
}
