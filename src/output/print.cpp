// SPDX-License-Identifier: GPL-3.0-or-later
// The print module: owns the console verbosity and the log stream. Every
// message of the program passes through here, is routed by its output class
// and the verbosity, and is copied to the log file when one is open.
#include "output/print.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DISPLAY_STATE display_state = DISPLAY_NORMAL;
FILE *log_fp = nullptr;

constexpr int PROMPT_READ_LIMIT = 80;
constexpr char LOG_WRITE_FAILED[] = "Error while writing to log file. Logging is disabled.\n";
constexpr char CANNOT_CREATE_FORMAT[] = " Cannot create %s \n";
constexpr mode_t NEW_LOG_MODE = 0600;

// The files a log must never replace, each stored as named when guarded.
char guarded_paths[LOG_GUARD_COUNT][TEXT_FIELD_SIZE] = {};

// What was shown before the log could be opened (the start-up probe's
// warnings), copied into the log after its first line.
constexpr size_t EARLY_TEXT_SIZE = 1024;
char early_text[EARLY_TEXT_SIZE] = {};
size_t early_length = 0;
bool keeping_early_text = false;

enum class Route { none, out, err };

// The routing matrix: output class by row, display state by column.
Route route_for(PRT_OPTIONS type, DISPLAY_STATE state)
{
    switch (type) {
    case PRT_INFO:
    case PRT_HELP:
    case PRT_TRACE:
    case PRT_PROGRESS:
        return (state == DISPLAY_QUIET || state == DISPLAY_XML) ? Route::none : Route::out;
    case PRT_ERROR:
        return state == DISPLAY_XML ? Route::none : Route::err;
    case PRT_DEBUG:
        return state == DISPLAY_DEBUG ? Route::out : Route::none;
    }
    return Route::none;
}

bool is_logged(PRT_OPTIONS type)
{
    return type == PRT_INFO || type == PRT_ERROR || type == PRT_DEBUG || type == PRT_HELP;
}

void keep_early_text(const char *text)
{
    size_t length = strnlen(text, EARLY_TEXT_SIZE);
    if (early_length + length >= EARLY_TEXT_SIZE)
        return;
    memcpy(early_text + early_length, text, length);
    early_length += length;
    early_text[early_length] = '\0';
}

bool is_guarded(const struct stat &log)
{
    for (const char *path : guarded_paths) {
        struct stat guarded {};
        if (path[0] != '\0' && stat(path, &guarded) == 0 && guarded.st_dev == log.st_dev &&
            guarded.st_ino == log.st_ino)
            return true;
    }
    return false;
}

// Opens the log without following a link in its last part and without ever
// truncating what it must not replace: only a character device (/dev/null),
// or a regular file with one name that is neither the data file nor a service
// script; a new file is private to its owner. -1 when refused.
int open_log_descriptor(const char *path)
{
    constexpr int FLAGS = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int descriptor = open(path, FLAGS | O_CREAT | O_EXCL, NEW_LOG_MODE);
    const bool created = descriptor >= 0;
    if (!created && errno == EEXIST)
        descriptor = open(path, FLAGS);
    if (descriptor < 0)
        return -1;
    struct stat status {};
    bool accepted = false;
    if (fstat(descriptor, &status) == 0) {
        if (S_ISCHR(status.st_mode))
            accepted = true;
        else if (S_ISREG(status.st_mode) && status.st_nlink == 1 && !is_guarded(status))
            accepted = created || ftruncate(descriptor, 0) == 0;
    }
    // Blocking writes from here on, as a terminal named as the log needs.
    if (accepted)
        accepted = fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) == 0;
    if (!accepted) {
        close(descriptor);
        if (created)
            unlink(path);
        return -1;
    }
    return descriptor;
}

void log_to_file(const char *text)
{
    if (log_fp == nullptr)
        return;
    int written = fprintf(log_fp, "%s", text);
    // Flushed at once so that a run killed during a long flash keeps its log;
    // a failed flush is a failed write.
    if (written != static_cast<int>(strlen(text)) || fflush(log_fp) != 0) {
        fputs(LOG_WRITE_FAILED, stderr);
        fflush(stderr);
        close_log_file();
    }
}

}  // namespace

RETURN_CODE display_redirection(const PRT_OPTIONS type, const char *text)
{
    RETURN_CODE result = RC_NOT_DISPLAYED;
    switch (route_for(type, display_state)) {
    case Route::out:
        fprintf(stdout, "%s", text);
        fflush(stdout);
        result = RC_DISPLAYED;
        break;
    case Route::err:
        fprintf(stderr, "%s", text);
        fflush(stderr);
        result = RC_DISPLAYED;
        break;
    case Route::none:
        break;
    }
    // An error counts as displayed even where the XML state keeps it off the console.
    if (type == PRT_ERROR)
        result = RC_DISPLAYED;
    if (is_logged(type)) {
        if (log_fp == nullptr && keeping_early_text)
            keep_early_text(text);
        log_to_file(text);
    }
    return result;
}

RETURN_CODE clear_line()
{
    static constexpr char BLANK_LINE[] =
        "\r                                                                          \r";
    static_assert(sizeof BLANK_LINE - 1 == 76);
    return display_redirection(PRT_INFO, BLANK_LINE);
}

RETURN_CODE prompt_user(const PRT_OPTIONS type, const char *text)
{
    if (display_state == DISPLAY_QUIET || display_state == DISPLAY_XML || display_state == DISPLAY_REVISION)
        return RC_SUCCESS;

    // glibc keeps what a pipe or file still holds for later prompts here.
    fflush(stdin);
    // Kept as read (0 to 255): a byte above 127 must not reach toupper as a negative char.
    int answer = ' ';
    bool input_ended = false;
    while (toupper(answer) != 'Y' && toupper(answer) != 'N') {
        if (display_redirection(type, text) == RC_DISPLAYED) {
            int first = EOF;
            int stored = 0;
            while (stored < PROMPT_READ_LIMIT) {
                int c = getchar();
                if (c == EOF) {
                    input_ended = true;
                    break;
                }
                if (c == '\n')
                    break;
                if (stored == 0)
                    first = c;
                stored++;
            }
            if (stored == 1)
                answer = first;
        } else {
            answer = 'Y';
        }
        fflush(stdin);
        // Nobody is left to answer once the input has ended: that is a no.
        if (input_ended && toupper(answer) != 'Y' && toupper(answer) != 'N')
            answer = 'N';
    }
    return toupper(answer) == 'Y' ? RC_SUCCESS : RC_FAILED;
}

void set_display_state(const DISPLAY_STATE state)
{
    if (state < 5)
        display_state = state;
}

DISPLAY_STATE get_display_state()
{
    return display_state;
}

void guard_from_log(const LOG_GUARD which, const char *path)
{
    if (which < LOG_GUARD_COUNT)
        snprintf(guarded_paths[which], sizeof guarded_paths[which], "%s", path);
}

void claim_standard_streams()
{
    // A closed standard stream would be handed to the next file opened (the
    // log), and what is meant for the console would land in that file.
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; stream++) {
        if (fcntl(stream, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != stream) {
            dup2(opened, stream);
            close(opened);
        }
    }
    keeping_early_text = true;
}

RETURN_CODE set_log_file(char *path, int argc, char **argv)
{
    keeping_early_text = false;
    int descriptor = open_log_descriptor(path);
    log_fp = descriptor >= 0 ? fdopen(descriptor, "w") : nullptr;
    if (log_fp == nullptr) {
        if (descriptor >= 0)
            close(descriptor);
        char *shown = escaped_word(path);
        if (shown != nullptr) {
            size_t size = sizeof CANNOT_CREATE_FORMAT + strlen(shown);
            char *text = static_cast<char *>(malloc(size));
            if (text != nullptr) {
                snprintf(text, size, CANNOT_CREATE_FORMAT, shown);
                display_redirection(PRT_ERROR, text);
                free(text);
            }
            free(shown);
        }
        return RC_ERROR_IN_FILE;
    }
    for (int i = 0; i < argc; i++) {
        char *shown = escaped_word(argv[i]);
        log_to_file(shown != nullptr ? shown : "");
        free(shown);
        log_to_file(" ");
    }
    log_to_file("\n");
    log_to_file(early_text);
    early_length = 0;
    early_text[0] = '\0';
    return RC_SUCCESS;
}

void close_log_file()
{
    if (log_fp == nullptr)
        return;
    fflush(log_fp);
    fclose(log_fp);
    log_fp = nullptr;
}

// Diagnostic hooks: the transport calls them at its failure points; they are
// kept as the place to attach diagnostics and have no effect.
void log_last_driver_error(uint32_t, uint8_t, uint32_t) {}
void log_last_exec_cmd_error(const IPMI_DRIVER_STRUCT *) {}
void log_exec_cmd_retry() {}

// A reader that went away (output piped into head) must not end a run
// mid-flash: writes then just fail, and their results are not looked at. A
// handler rather than SIG_IGN, so that the service scripts get the default.
extern "C" void ignore_broken_pipe(int) {}

void print_constructor()
{
    signal(SIGPIPE, ignore_broken_pipe);
    set_display_state(DISPLAY_NORMAL);
    log_fp = nullptr;
}

void print_destructor() {}
