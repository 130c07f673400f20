// SPDX-License-Identifier: GPL-3.0-or-later
// The recovery record's file: the text form of what a run has changed, and
// the one place that reads, replaces and removes it in the state folder.
#include "app/recovery_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char RECORD_HEADER[] = "velmoran-recovery 1";
constexpr char BOOT_ID_PATH[] = "/proc/sys/kernel/random/boot_id";
constexpr size_t RECORD_FILE_LIMIT = RECOVERY_TEXT_SIZE;
constexpr size_t PROC_STAT_SIZE = 1024;
// Fields of /proc/PID/stat after the command name: state is 3, starttime 22.
constexpr int STAT_START_TIME_FIELD = 22;
constexpr int STAT_FIELDS_BEFORE_STATE = 2;
constexpr mode_t FOLDER_MODE = 0700;
constexpr mode_t RECORD_MODE = 0600;
constexpr uint8_t NO_BOARD = 0;
constexpr char SERVICE_STARTED[] = "started";
constexpr char SERVICE_INSTALLED[] = "installed";

void record_path(const char *folder, char *path, size_t size)
{
    snprintf(path, size, "%s/%s", folder, RECOVERY_RECORD_NAME);
}

bool read_small_file(const char *path, char *text, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t length = read(fd, text, size - 1);
    close(fd);
    if (length < 0)
        return false;
    text[length] = '\0';
    return true;
}

void read_boot_id(char *boot_id)
{
    char text[RECOVERY_BOOT_ID_SIZE + 8] = {};
    boot_id[0] = '\0';
    if (!read_small_file(BOOT_ID_PATH, text, sizeof text))
        return;
    text[strcspn(text, "\n")] = '\0';
    snprintf(boot_id, RECOVERY_BOOT_ID_SIZE, "%s", text);
}

// The start time of a process, from /proc; false when it does not exist.
bool process_start_time(uint32_t pid, uint64_t *start_time)
{
    char path[64];
    char text[PROC_STAT_SIZE];
    snprintf(path, sizeof path, "/proc/%u/stat", pid);
    if (!read_small_file(path, text, sizeof text))
        return false;
    // The command name may hold blanks and parentheses: count from its end.
    const char *field = strrchr(text, ')');
    if (field == nullptr)
        return false;
    for (int number = STAT_FIELDS_BEFORE_STATE; number < STAT_START_TIME_FIELD; number++) {
        field = strchr(field + 1, ' ');
        if (field == nullptr)
            return false;
    }
    char *end = nullptr;
    unsigned long long value = strtoull(field + 1, &end, 10);
    if (end == field + 1)
        return false;
    *start_time = value;
    return true;
}

bool sync_folder(const char *folder)
{
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool write_all(int fd, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t done = write(fd, text, length);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        text += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

// A line "key value" whose key matches; `value` points past the blank.
bool take_line(const char **cursor, const char *key, char *value, size_t size)
{
    const char *end = strchr(*cursor, '\n');
    if (end == nullptr)
        return false;
    size_t key_length = strlen(key);
    if (strncmp(*cursor, key, key_length) != 0 || (*cursor)[key_length] != ' ')
        return false;
    const char *start = *cursor + key_length + 1;
    size_t length = static_cast<size_t>(end - start);
    if (length == 0 || length >= size)
        return false;
    memcpy(value, start, length);
    value[length] = '\0';
    for (size_t i = 0; i < length; i++) {
        if (value[i] < ' ' || value[i] > '~')
            return false;
    }
    *cursor = end + 1;
    return true;
}

bool parse_unsigned(const char *text, int base, unsigned long long limit, unsigned long long *value)
{
    if (text[0] < '0' || text[0] > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || parsed > limit)
        return false;
    *value = parsed;
    return true;
}

}  // namespace

size_t recovery_format(const RECOVERY_RECORD *record, char *text, size_t size)
{
    char panel[16] = "untouched";
    if (record->panel_locked == 1)
        snprintf(panel, sizeof panel, "locked 0x%02X", record->panel_byte);
    char board[DEVICE_NAME_SIZE + 16] = "none";
    if (record->board_address != NO_BOARD)
        snprintf(board, sizeof board, "0x%02X %.*s", record->board_address, DEVICE_NAME_PRINT_WIDTH,
                 record->board_name);
    // The service line is there only when the service was changed, so a
    // record without it reads as records always have.
    char service[32] = "";
    if (record->service == RECOVERY_SERVICE_STARTED || record->service == RECOVERY_SERVICE_INSTALLED)
        snprintf(service, sizeof service, "service %s\n",
                 record->service == RECOVERY_SERVICE_STARTED ? SERVICE_STARTED : SERVICE_INSTALLED);
    int length = snprintf(text, size, "%s\npid %u\nstart %llu\nboot %s\npanel %s\nusers %s\nboard %s\n%s",
                          RECORD_HEADER, record->pid, static_cast<unsigned long long>(record->start_time),
                          record->boot_id[0] != '\0' ? record->boot_id : "unknown", panel,
                          record->users_stopped == 1 ? "stopped" : "untouched", board, service);
    return length < 0 || static_cast<size_t>(length) >= size ? 0 : static_cast<size_t>(length);
}

bool recovery_parse(const char *text, RECOVERY_RECORD *record)
{
    RECOVERY_RECORD parsed{};
    char value[RECOVERY_TEXT_SIZE];
    unsigned long long number = 0;
    const char *cursor = text;

    size_t header_length = strlen(RECORD_HEADER);
    if (strncmp(cursor, RECORD_HEADER, header_length) != 0 || cursor[header_length] != '\n')
        return false;
    cursor += header_length + 1;

    if (!take_line(&cursor, "pid", value, sizeof value) || !parse_unsigned(value, 10, 0x7FFFFFFF, &number) ||
        number == 0)
        return false;
    parsed.pid = static_cast<uint32_t>(number);
    if (!take_line(&cursor, "start", value, sizeof value) || !parse_unsigned(value, 10, UINT64_MAX, &number))
        return false;
    parsed.start_time = number;
    if (!take_line(&cursor, "boot", value, sizeof value) || strlen(value) >= RECOVERY_BOOT_ID_SIZE)
        return false;
    if (strcmp(value, "unknown") != 0)
        memcpy(parsed.boot_id, value, strlen(value) + 1);

    if (!take_line(&cursor, "panel", value, sizeof value))
        return false;
    if (strncmp(value, "locked ", 7) == 0) {
        if (!parse_unsigned(value + 7, 16, 0xFF, &number) || strncmp(value + 7, "0x", 2) != 0)
            return false;
        parsed.panel_locked = 1;
        parsed.panel_byte = static_cast<uint8_t>(number);
    } else if (strcmp(value, "untouched") != 0) {
        return false;
    }

    if (!take_line(&cursor, "users", value, sizeof value))
        return false;
    if (strcmp(value, "stopped") == 0)
        parsed.users_stopped = 1;
    else if (strcmp(value, "untouched") != 0)
        return false;

    if (!take_line(&cursor, "board", value, sizeof value))
        return false;
    if (strcmp(value, "none") != 0) {
        char *blank = strchr(value, ' ');
        if (blank == nullptr || strncmp(value, "0x", 2) != 0)
            return false;
        *blank = '\0';
        const char *name = blank + 1;
        if (!parse_unsigned(value, 16, 0xFF, &number) || number == NO_BOARD || name[0] == '\0' ||
            strlen(name) > DEVICE_NAME_SIZE)
            return false;
        parsed.board_address = static_cast<uint8_t>(number);
        memcpy(parsed.board_name, name, strlen(name) + 1);
    }
    if (*cursor != '\0') {
        if (!take_line(&cursor, "service", value, sizeof value))
            return false;
        if (strcmp(value, SERVICE_STARTED) == 0)
            parsed.service = RECOVERY_SERVICE_STARTED;
        else if (strcmp(value, SERVICE_INSTALLED) == 0)
            parsed.service = RECOVERY_SERVICE_INSTALLED;
        else
            return false;
    }
    if (*cursor != '\0')
        return false;
    *record = parsed;
    return true;
}

RECOVERY_READ recovery_read(const char *folder, RECOVERY_RECORD *record, char *reason, size_t reason_size)
{
    char path[RECOVERY_PATH_SIZE];
    record_path(folder, path, sizeof path);
    reason[0] = '\0';
    // Not followed, and not waited on: a link or a pipe planted here is never opened.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return RECOVERY_NONE;
        snprintf(reason, reason_size, errno == ELOOP ? "it is a symbolic link" : "it cannot be opened");
        return RECOVERY_UNTRUSTED;
    }
    struct stat status {};
    char text[RECORD_FILE_LIMIT + 1];
    ssize_t length = -1;
    if (fstat(fd, &status) != 0)
        snprintf(reason, reason_size, "it cannot be examined");
    else if (!S_ISREG(status.st_mode))
        snprintf(reason, reason_size, "it is not a regular file");
    else if (status.st_uid != 0)
        snprintf(reason, reason_size, "it is not owned by root");
    else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        snprintf(reason, reason_size, "others may write to it");
    else if (status.st_nlink != 1)
        snprintf(reason, reason_size, "it has other names");
    else if (static_cast<size_t>(status.st_size) > RECORD_FILE_LIMIT)
        snprintf(reason, reason_size, "it is too large");
    else
        length = read(fd, text, RECORD_FILE_LIMIT);
    close(fd);
    if (reason[0] != '\0')
        return RECOVERY_UNTRUSTED;
    if (length < 0) {
        snprintf(reason, reason_size, "it cannot be read");
        return RECOVERY_UNTRUSTED;
    }
    text[length] = '\0';
    if (strlen(text) != static_cast<size_t>(length) || !recovery_parse(text, record)) {
        snprintf(reason, reason_size, "it is not a recovery record");
        return RECOVERY_UNTRUSTED;
    }
    return RECOVERY_FOUND;
}

bool recovery_write(const char *folder, const RECOVERY_RECORD *record)
{
    char text[RECOVERY_TEXT_SIZE];
    size_t length = recovery_format(record, text, sizeof text);
    if (length == 0)
        return false;
    if (mkdir(folder, FOLDER_MODE) != 0 && errno != EEXIST)
        return false;

    char path[RECOVERY_PATH_SIZE];
    char temporary[RECOVERY_PATH_SIZE + 32];
    record_path(folder, path, sizeof path);
    snprintf(temporary, sizeof temporary, "%s.%u.tmp", path, static_cast<unsigned>(getpid()));
    // Written aside and renamed over, so the record is always whole. The
    // name is made afresh: whatever sits there is a leftover of a killed run
    // (only root or this user can write the folder), removed, never opened.
    int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, RECORD_MODE);
    if (fd < 0 && errno == EEXIST && unlink(temporary) == 0)
        fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, RECORD_MODE);
    if (fd < 0)
        return false;
    bool done = write_all(fd, text, length) && fsync(fd) == 0;
    done = close(fd) == 0 && done;
    if (!done || rename(temporary, path) != 0) {
        unlink(temporary);
        return false;
    }
    return sync_folder(folder);
}

bool recovery_remove(const char *folder)
{
    char path[RECOVERY_PATH_SIZE];
    record_path(folder, path, sizeof path);
    if (unlink(path) != 0 && errno != ENOENT)
        return false;
    return sync_folder(folder);
}

void recovery_identify_self(RECOVERY_RECORD *record)
{
    record->pid = static_cast<uint32_t>(getpid());
    // Through a local: a packed record's field may sit unaligned.
    uint64_t start_time = 0;
    (void)process_start_time(record->pid, &start_time);
    record->start_time = start_time;
    read_boot_id(record->boot_id);
}

bool recovery_owner_alive(const RECOVERY_RECORD *record)
{
    char boot_id[RECOVERY_BOOT_ID_SIZE];
    read_boot_id(boot_id);
    // A process of an earlier boot is gone, whoever has its number now.
    if (boot_id[0] != '\0' && record->boot_id[0] != '\0' && strcmp(boot_id, record->boot_id) != 0)
        return false;
    uint64_t start_time = 0;
    if (process_start_time(record->pid, &start_time))
        return start_time == record->start_time;
    return kill(static_cast<pid_t>(record->pid), 0) == 0 || errno == EPERM;
}

