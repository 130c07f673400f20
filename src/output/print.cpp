// The print module: owns the console verbosity and the log stream. Every
// message of the program passes through here, is routed by its output class
// and the verbosity, and is copied to the log file when one is open.
#include "output/print.h"

#include <csignal>
#include <cstdio>
#include <cctype>
#include <cstring>

namespace {

DISPLAY_STATE display_state = DISPLAY_NORMAL;
FILE *log_fp = nullptr;

constexpr int PROMPT_READ_LIMIT = 80;
constexpr char LOG_WRITE_FAILED[] = "Error while writing to log file. Logging is disabled.\n";

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
    if (is_logged(type))
        log_to_file(text);
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

RETURN_CODE set_log_file(char *path, int argc, char **argv)
{
    log_fp = fopen(path, "w");
    if (log_fp == nullptr) {
        char text[TEXT_FIELD_SIZE + 32];
        snprintf(text, sizeof text, " Cannot create %s \n", path);
        display_redirection(PRT_ERROR, text);
        return RC_ERROR_IN_FILE;
    }
    for (int i = 0; i < argc; i++) {
        log_to_file(argv[i]);
        log_to_file(" ");
    }
    log_to_file("\n");
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
