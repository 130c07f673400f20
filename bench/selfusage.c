/* SPDX-License-Identifier: GPL-3.0-or-later */
/* Preloaded by the benchmark: at process exit, appends the process's name,
 * its own user and system CPU time (microseconds) and its peak resident size
 * (KiB) to the file named by BENCHUSAGE_LOG. Every process that inherits the
 * preload writes its own line; children are never counted in a parent's. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

static void report_usage(void) __attribute__((destructor));

static void report_usage(void)
{
    const char *path = getenv("BENCHUSAGE_LOG");
    if (path == NULL || *path == '\0')
        return;
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return;
    /* ru_maxrss survives exec and so would count the launcher's memory; the
     * high-water mark of this image's own address space does not. */
    long peak_kib = -1;
    FILE *status = fopen("/proc/self/status", "r");
    if (status != NULL) {
        char line[128];
        while (fgets(line, sizeof line, status) != NULL)
            if (sscanf(line, "VmHWM: %ld kB", &peak_kib) == 1)
                break;
        fclose(status);
    }
    FILE *log = fopen(path, "a");
    if (log == NULL)
        return;
    fprintf(log, "%s %ld %ld %ld\n", program_invocation_short_name, usage.ru_utime.tv_sec * 1000000L + usage.ru_utime.tv_usec,
            usage.ru_stime.tv_sec * 1000000L + usage.ru_stime.tv_usec, peak_kib);
    fclose(log);
}
