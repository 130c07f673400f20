// SPDX-License-Identifier: GPL-3.0-or-later
// The run's bookkeeping: owns the run lock, this run's record of what it has
// changed (written before each change, removed once all is put back), what a
// gone run left behind, and the stop requests held while something is to be
// put back.
#include "app/recovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipmi/bmc_fw.h"
#include "ipmi/driver.h"
#include "output/print.h"

namespace {

constexpr mode_t FOLDER_MODE = 0700;
constexpr mode_t LOCK_MODE = 0600;
constexpr mode_t WRITABLE_BY_GROUP_OR_OTHERS = S_IWGRP | S_IWOTH;
constexpr uint8_t NO_BOARD = 0;
constexpr size_t HOLDER_SIZE = 64;
constexpr size_t MESSAGE_SIZE = 3 * RECOVERY_PATH_SIZE;
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr char NULL_DEVICE[] = "/dev/null";

constexpr char RECORD_IGNORED_FORMAT[] = "\r   Recovery record %s ignored: %s \n";
constexpr char RECORD_NOT_WRITTEN_FORMAT[] = "\r   Cannot write the recovery record %s \n";
constexpr char NOTHING_CHANGED_FORMAT[] = "\r   Cannot write the recovery record %s: nothing is changed \n";
constexpr char PANEL_NOT_RESTORED_FORMAT[] =
    "\r   Front panel not restored from the recovery record %s \n";
constexpr char RECOVERED_FORMAT[] = "\r   Recovered from interrupted run (process %u):%s \n";
constexpr char FOLDER_REFUSED_FORMAT[] = "\r   State folder refused: %s %s \n";
constexpr char LOCK_FAILED_FORMAT[] = "\r   Cannot lock %s: %s \n";
constexpr char LOCK_HELD_FORMAT[] = "\r   Another run holds %s: process %s \n";

constexpr char IS_NOT_DIRECTORY[] = "is not a directory";
constexpr char BELONGS_TO_OTHER_USER[] = "belongs to another user";
constexpr char WRITABLE_BY_OTHERS[] = "is writable by other users";
constexpr char CANNOT_BE_CHECKED[] = "cannot be checked";
constexpr char CANNOT_BE_MADE[] = "cannot be made";
constexpr char CURRENT_DIRECTORY[] = "the current directory";

RECOVERY_RECORD current{};
bool identified = false;
bool written = false;
bool write_failure_told = false;
int lock_fd = -1;
bool users_stopped_here = false;

// What a gone run left behind, read once the lock is held.
RECOVERY_READ left_read = RECOVERY_NONE;
RECOVERY_RECORD left{};
char left_reason[RECOVERY_TEXT_SIZE];

volatile sig_atomic_t stop_signal = 0;
int empty_input = -1;

extern "C" void note_stop_request(int signal_number)
{
    stop_signal = signal_number;
    // The questions end with the request: a prompt still waiting reads the
    // end of its input, which is a no.
    if (empty_input >= 0)
        dup2(empty_input, STDIN_FILENO);
}

// Words that reach the console as they are shown on it, escaped.
void tell(const char *format, const char *first, const char *second = "")
{
    char *shown_first = escaped_word(first);
    char *shown_second = escaped_word(second);
    char text[MESSAGE_SIZE];
    snprintf(text, sizeof text, format, shown_first != nullptr ? shown_first : "",
             shown_second != nullptr ? shown_second : "");
    free(shown_first);
    free(shown_second);
    display_redirection(PRT_ERROR, text);
}

bool owned_by_us(const struct stat &status)
{
    return status.st_uid == 0 || status.st_uid == geteuid();
}

const char *component_fault(const char *subject, bool last, bool *missing)
{
    struct stat status {};
    // The folder itself is not followed: a link there could be turned elsewhere.
    if ((last ? lstat(subject, &status) : stat(subject, &status)) != 0) {
        *missing = last && errno == ENOENT;
        return *missing ? nullptr : CANNOT_BE_CHECKED;
    }
    if (!S_ISDIR(status.st_mode))
        return IS_NOT_DIRECTORY;
    if (!last && status.st_uid == 0 && (status.st_mode & S_ISVTX) != 0)
        return nullptr;
    if (!owned_by_us(status))
        return BELONGS_TO_OTHER_USER;
    if ((status.st_mode & WRITABLE_BY_GROUP_OR_OTHERS) != 0)
        return WRITABLE_BY_OTHERS;
    return nullptr;
}

// The record is only as safe as the folders on its way, from the root or the
// current directory on: none may be changed by anyone but root or this user,
// as for the service scripts. A directory of root's with the sticky bit (as
// /tmp) may be on the way, never the folder itself.
const char *folder_fault(const char *folder, char *subject, size_t size, bool *missing)
{
    *missing = false;
    if (folder[0] != '/') {
        const char *fault = component_fault(".", false, missing);
        if (fault != nullptr) {
            snprintf(subject, size, "%s", CURRENT_DIRECTORY);
            return fault;
        }
    }
    const size_t length = strnlen(folder, size - 1);
    for (size_t end = 0; end <= length; end++) {
        if (end < length && folder[end] != '/')
            continue;
        if (end == 0)
            snprintf(subject, size, "/");
        else
            snprintf(subject, size, "%.*s", static_cast<int>(end), folder);
        const char *fault = component_fault(subject, end == length, missing);
        if (fault != nullptr || *missing)
            return fault;
    }
    return nullptr;
}

bool state_folder_trusted(const char *folder)
{
    char subject[RECOVERY_PATH_SIZE];
    bool missing = false;
    const char *fault = folder_fault(folder, subject, sizeof subject, &missing);
    // Made only where nobody else could have a hand in it, then checked as made.
    if (fault == nullptr && missing) {
        if (mkdir(folder, FOLDER_MODE) != 0) {
            tell(FOLDER_REFUSED_FORMAT, folder, CANNOT_BE_MADE);
            return false;
        }
        fault = folder_fault(folder, subject, sizeof subject, &missing);
    }
    if (fault != nullptr)
        tell(FOLDER_REFUSED_FORMAT, subject, fault);
    return fault == nullptr;
}

void lock_path(char *path, size_t size)
{
    snprintf(path, size, "%s/%s", recovery_folder(), RUN_LOCK_NAME);
}

void tell_lock_held(int fd, const char *path)
{
    char holder[HOLDER_SIZE] = {};
    ssize_t length = pread(fd, holder, sizeof holder - 1, 0);
    holder[length > 0 ? length : 0] = '\0';
    holder[strcspn(holder, "\n")] = '\0';
    tell(LOCK_HELD_FORMAT, path, holder[0] != '\0' ? holder : "unknown");
}

bool nothing_pending()
{
    return current.panel_locked == 0 && current.users_stopped == 0 && current.board_address == NO_BOARD &&
           current.service == RECOVERY_SERVICE_UNTOUCHED;
}

// Writes the record while something is left to put back, removes it after.
bool update_record()
{
    const char *folder = recovery_folder();
    if (nothing_pending()) {
        if (written && recovery_remove(folder))
            written = false;
        return true;
    }
    if (!identified) {
        recovery_identify_self(&current);
        identified = true;
    }
    if (!recovery_write(folder, &current))
        return false;
    written = true;
    return true;
}

// For a change not yet made: without its record it is not made at all.
bool note_before_change()
{
    if (update_record())
        return true;
    char path[RECOVERY_PATH_SIZE + 16];
    snprintf(path, sizeof path, "%s/%s", recovery_folder(), RECOVERY_RECORD_NAME);
    tell(NOTHING_CHANGED_FORMAT, path);
    write_failure_told = true;
    return false;
}

// For a change already put back: the record then says more than is left,
// which the next run puts back once more.
void note_after_change()
{
    if (update_record() || write_failure_told)
        return;
    write_failure_told = true;
    tell(RECORD_NOT_WRITTEN_FORMAT, recovery_folder());
}

RECOVERY_SERVICE recorded_change(DRIVER_SERVICE_CHANGE change)
{
    switch (change) {
    case DRIVER_SERVICE_STARTED:
        return RECOVERY_SERVICE_STARTED;
    case DRIVER_SERVICE_INSTALLED:
        return RECOVERY_SERVICE_INSTALLED;
    case DRIVER_SERVICE_UNTOUCHED:
        break;
    }
    return RECOVERY_SERVICE_UNTOUCHED;
}

DRIVER_SERVICE_CHANGE driver_change(uint8_t recorded)
{
    if (recorded == RECOVERY_SERVICE_STARTED)
        return DRIVER_SERVICE_STARTED;
    if (recorded == RECOVERY_SERVICE_INSTALLED)
        return DRIVER_SERVICE_INSTALLED;
    return DRIVER_SERVICE_UNTOUCHED;
}

void append(char *text, size_t size, const char *part)
{
    size_t used = strlen(text);
    if (used > 0 && used + 1 < size)
        text[used++] = ',';
    if (used + 1 < size)
        text[used++] = ' ';
    text[used] = '\0';
    strncat(text, part, size - used - 1);
}

}  // namespace

const char *recovery_folder()
{
    const char *folder = getenv(RECOVERY_FOLDER_ENVIRONMENT);
    return folder != nullptr && folder[0] != '\0' ? folder : RECOVERY_FOLDER_DEFAULT;
}

RETURN_CODE take_run_lock()
{
    if (!state_folder_trusted(recovery_folder()))
        return RC_CANNOT_CREATE_FILE;
    char path[RECOVERY_PATH_SIZE + 16];
    lock_path(path, sizeof path);
    // Not followed and not waited on; the scripts this run starts never hold it.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, LOCK_MODE);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        tell(LOCK_FAILED_FORMAT, path, fd < 0 ? strerror(errno) : "it is not a regular file");
        if (fd >= 0)
            close(fd);
        return RC_CANNOT_CREATE_FILE;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        if (held)
            tell_lock_held(fd, path);
        else
            tell(LOCK_FAILED_FORMAT, path, strerror(errno));
        close(fd);
        return held ? RC_LOAD_LIBRARY_FAILED : RC_CANNOT_CREATE_FILE;
    }
    lock_fd = fd;
    // Who holds it, for the run that is turned away; a full folder leaves it empty.
    char pid[24];
    int length = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) == 0)
        (void)!pwrite(fd, pid, static_cast<size_t>(length), 0);

    left_read = recovery_read(recovery_folder(), &left, left_reason, sizeof left_reason);
    // A run still going owns its record (a program without this lock); left alone.
    if (left_read == RECOVERY_FOUND && recovery_owner_alive(&left))
        left_read = RECOVERY_NONE;
    if (left_read == RECOVERY_FOUND) {
        // Until put back, what the gone run changed stays in this run's record.
        current.panel_locked = left.panel_locked;
        current.panel_byte = left.panel_byte;
        current.users_stopped = left.users_stopped;
        current.service = left.service;
        written = true;
    }
    return RC_SUCCESS;
}

RETURN_CODE prepare_driver_service()
{
    probe_driver_service();
    DRIVER_SERVICE_CHANGE change = driver_service_change();
    if (change == DRIVER_SERVICE_UNTOUCHED && current.service != RECOVERY_SERVICE_UNTOUCHED) {
        // The gone run's change is undone at this run's end, as it would have been.
        driver_adopt_service_change(driver_change(current.service));
        run_catch_stops(false);
        return RC_SUCCESS;
    }
    if (change == DRIVER_SERVICE_UNTOUCHED)
        return RC_SUCCESS;
    current.service = recorded_change(change);
    if (!note_before_change()) {
        driver_service_change_refused();
        return RC_CANNOT_CREATE_FILE;
    }
    run_catch_stops(false);
    return RC_SUCCESS;
}

RETURN_CODE recover_interrupted_run()
{
    const char *folder = recovery_folder();
    char path[RECOVERY_PATH_SIZE + 16];
    snprintf(path, sizeof path, "%s/%s", folder, RECOVERY_RECORD_NAME);

    if (left_read == RECOVERY_UNTRUSTED) {
        tell(RECORD_IGNORED_FORMAT, path, left_reason);
        left_read = RECOVERY_NONE;
    }
    if (left_read != RECOVERY_FOUND)
        return RC_SUCCESS;

    char restored[RECOVERY_TEXT_SIZE] = "";
    char part[RECOVERY_TEXT_SIZE];
    if (left.panel_locked == 1 && current.panel_locked == 1) {
        if (restore_front_panel(left.panel_byte) != RC_SUCCESS) {
            tell(PANEL_NOT_RESTORED_FORMAT, path);
            return RC_LOAD_LIBRARY_FAILED;
        }
        current.panel_locked = 0;
        snprintf(part, sizeof part, "front panel restored to 0x%02X", left.panel_byte);
        append(restored, sizeof restored, part);
    }
    if (left.users_stopped == 1 && current.users_stopped == 1) {
        driver_restart_users();
        current.users_stopped = 0;
        append(restored, sizeof restored, "service users restarted");
    }
    if (left.board_address != NO_BOARD) {
        snprintf(part, sizeof part, "%s left mid-transfer", left.board_name);
        append(restored, sizeof restored, part);
    }
    if (left.service == RECOVERY_SERVICE_STARTED)
        append(restored, sizeof restored, "driver service to be stopped at the end");
    else if (left.service == RECOVERY_SERVICE_INSTALLED)
        append(restored, sizeof restored, "driver service to be removed at the end");
    if (restored[0] == '\0')
        snprintf(restored, sizeof restored, " nothing left to restore");
    char text[MESSAGE_SIZE];
    snprintf(text, sizeof text, RECOVERED_FORMAT, left.pid, restored);
    display_redirection(PRT_ERROR, text);
    left_read = RECOVERY_NONE;
    note_after_change();
    return RC_SUCCESS;
}

void recovery_destructor()
{
    // The driver module has put the service back by now, and with it the
    // users: those this run stopped, or all when the service went away.
    if (current.service != RECOVERY_SERVICE_UNTOUCHED || users_stopped_here) {
        current.service = RECOVERY_SERVICE_UNTOUCHED;
        current.users_stopped = 0;
        note_after_change();
    }
    if (lock_fd >= 0) {
        close(lock_fd);
        lock_fd = -1;
    }
    // What is still to be put back stays in the record; the next start is fresh.
    current = RECOVERY_RECORD{};
    identified = false;
    written = false;
    write_failure_told = false;
    users_stopped_here = false;
    left_read = RECOVERY_NONE;
}

bool recovery_note_panel_locked(uint8_t saved_byte)
{
    RECOVERY_RECORD before = current;
    current.panel_locked = 1;
    current.panel_byte = saved_byte;
    if (note_before_change())
        return true;
    current = before;
    return false;
}

void recovery_note_panel_restored()
{
    if (current.panel_locked == 0)
        return;
    current.panel_locked = 0;
    note_after_change();
}

bool recovery_pending_panel(uint8_t *saved_byte)
{
    if (current.panel_locked == 0)
        return false;
    *saved_byte = current.panel_byte;
    return true;
}

bool recovery_note_users_stopped()
{
    current.users_stopped = 1;
    if (note_before_change()) {
        users_stopped_here = true;
        return true;
    }
    current.users_stopped = 0;
    return false;
}

bool recovery_note_board(const DEVICES_INFO *device)
{
    if (device == nullptr) {
        if (current.board_address == NO_BOARD)
            return true;
        current.board_address = NO_BOARD;
        current.board_name[0] = '\0';
        note_after_change();
        return true;
    }
    current.board_address = device->slave_address;
    snprintf(current.board_name, sizeof current.board_name, "%.*s", DEVICE_NAME_PRINT_WIDTH, device->name);
    if (note_before_change())
        return true;
    current.board_address = NO_BOARD;
    current.board_name[0] = '\0';
    return false;
}

void run_catch_stops(bool restart)
{
    if (empty_input < 0)
        empty_input = open(NULL_DEVICE, O_RDONLY | O_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = note_stop_request;
    action.sa_flags = restart ? SA_RESTART : 0;
    sigemptyset(&action.sa_mask);
    for (int signal_number : STOP_SIGNALS)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : STOP_SIGNALS) {
        struct sigaction before {};
        // A request the process was started to ignore stays ignored.
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
}

int run_stop_signal()
{
    return stop_signal;
}

void run_stop_answered()
{
    stop_signal = 0;
}

void run_end_as_asked()
{
    int signal_number = stop_signal;
    if (signal_number == 0)
        return;
    signal(signal_number, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signal_number);
}
