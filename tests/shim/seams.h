// SPDX-License-Identifier: GPL-3.0-or-later
/* The one seam for what a test must not really do: sleep, run shell commands
 * and load libraries from the system. Preloaded (libsleepshim.so) it records
 * every sleep to the file named by SLEEPSHIM_LOG and returns at once; linked
 * into a test program (velmoran_seams) it also lets the test watch sleeps in
 * process, answer shell commands, and choose the file a library name opens. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Called with every sleep, in microseconds, before it returns unslept;
 * non-zero makes the sleep end as if a signal had interrupted it (EINTR). */
typedef int (*seams_sleep_hook)(long long microseconds);
/* Answers a shell command ("sh -c COMMAND") in place of running it: the
 * status waitpid reports for it. */
typedef int (*seams_system_hook)(const char *command);
/* Called with every dlopen; returns the file to open in its place (or `file`). */
typedef const char *(*seams_library_hook)(const char *file, int mode);

void seams_on_sleep(seams_sleep_hook hook);
/* The last two exist only in the linked seam; null hands the call to libc. */
void seams_on_system(seams_system_hook hook);
void seams_on_dlopen(seams_library_hook hook);
/* libc's dlopen, past the seam. */
void *seams_real_dlopen(const char *file, int mode);

#ifdef __cplusplus
}
#endif
