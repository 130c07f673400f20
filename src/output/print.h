// SPDX-License-Identifier: GPL-3.0-or-later
// The one road to the console and the log file: output classes, console
// verbosity, Y/N prompts, the log file and the transport's diagnostic hooks.
#pragma once

#include <cstdint>

#include "app/records.h"
#include "output/escape.h"

struct IPMI_DRIVER_STRUCT;

enum PRT_OPTIONS : uint8_t {
    PRT_INFO = 1,
    PRT_ERROR = 2,
    PRT_DEBUG = 3,
    PRT_HELP = 4,
    PRT_TRACE = 5,
    PRT_PROGRESS = 6,
};

enum DISPLAY_STATE : uint8_t {
    DISPLAY_NORMAL = 0,
    DISPLAY_QUIET = 1,
    DISPLAY_DEBUG = 2,
    DISPLAY_XML = 3,
    DISPLAY_REVISION = 4,
};

RETURN_CODE display_redirection(const PRT_OPTIONS type, const char *text);
RETURN_CODE clear_line();
RETURN_CODE prompt_user(const PRT_OPTIONS type, const char *text);

void set_display_state(const DISPLAY_STATE state);
DISPLAY_STATE get_display_state();

// Files the log must never be; each is compared by device and inode when
// the log is opened.
enum LOG_GUARD : uint8_t {
    LOG_GUARD_DATA_FILE = 0,
    LOG_GUARD_INSTALL_SCRIPT = 1,
    LOG_GUARD_INIT_SCRIPT = 2,
    LOG_GUARD_COUNT = 3,
};
void guard_from_log(const LOG_GUARD which, const char *path);

// Run first of all: opens closed standard streams on /dev/null, and keeps
// what is shown until the log is opened, for the log.
void claim_standard_streams();

RETURN_CODE set_log_file(char *path, int argc, char **argv);
void close_log_file();

void log_last_driver_error(uint32_t driver_status, uint8_t completion_code, uint32_t response_length);
void log_last_exec_cmd_error(const IPMI_DRIVER_STRUCT *cmd);
void log_exec_cmd_retry();

void print_constructor();
void print_destructor();
