// SPDX-License-Identifier: GPL-3.0-or-later
// Owns the process's one IPMI session (opened on first use, reopened after
// it is lost) and the mapping between the library's 68-byte record and a raw
// request and answer. Talks to the BMC only through the LINK_OPS seam.
#include "backend_session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "backend_message.h"

namespace {

// IPMI answers carry at most a few hundred bytes; the record keeps 37 of them.
constexpr size_t ANSWER_CAPACITY = 512;
constexpr size_t ANSWER_HEADER = 2;           // command and completion code
constexpr uint8_t NETFN_RESPONSE_BIT = 0x04;  // in the network-function byte
constexpr uint8_t LUN_MASK = 0x03;
constexpr unsigned int NETFN_SHIFT = 2;
constexpr size_t REQUEST_HEADER = 2;  // network-function byte and command
constexpr size_t RESPONSE_DATA_CAPACITY = HAPI_PACKET_SIZE - HAPI_RESPONSE_DATA_OFFSET;
// What a target that did not answer gets back, as a BMC reports it for a
// bridged request: IPMI's "timeout while processing command".
constexpr uint8_t CC_NO_ANSWER = 0xC3;
constexpr size_t PID_TEXT_SIZE = 24;
constexpr size_t LOCK_FOLDER_SIZE = 512;
constexpr mode_t LOCK_FOLDER_MODE = 0755;
constexpr mode_t LOCK_FILE_MODE = 0644;
constexpr mode_t GROUP_OR_OTHERS_WRITE = S_IWGRP | S_IWOTH;

const LINK_OPS *link_ops = nullptr;
BACKEND_CONFIG link_config;
bool configured = false;
void *open_link = nullptr;
// Authentication refused: asking again would only lock the account out.
bool given_up = false;
// Each kind of opening failure is told once per process, not once per attempt.
bool reported[LINK_FAILED + 1] = {};
// A session was lost and another could not be opened: the BMC is gone, and
// every later request fails at once instead of waiting out its timeouts.
bool bmc_gone = false;
// One run per target: the lock is taken with the first session and held
// until the library is unloaded. The folder is one only root may write.
char lock_folder[LOCK_FOLDER_SIZE] = "/run/velmoran";
int lock_fd = -1;
bool lock_refused = false;

// The target in words, and the lock file's name made from it.
void describe_target(char *target, size_t target_size, char *lock_name, size_t lock_size)
{
    if (link_config.interface == INTERFACE_LAN) {
        snprintf(target, target_size, "the BMC at %s port %u", link_config.host,
                 static_cast<unsigned>(link_config.port));
        char host[CONFIG_TEXT_SIZE];
        snprintf(host, sizeof host, "%s", link_config.host);
        // A host name or address never needs more than these in a file name.
        for (char *c = host; *c != '\0'; c++) {
            bool kept = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '.' ||
                *c == '-' || *c == ':';
            if (!kept)
                *c = '_';
        }
        snprintf(lock_name, lock_size, "velmoran-freeipmi-lan-%s-%u.lock", host,
                 static_cast<unsigned>(link_config.port));
    } else {
        snprintf(target, target_size, "the in-band BMC");
        snprintf(lock_name, lock_size, "velmoran-freeipmi-inband.lock");
    }
}

// Only root (or the user running the program) may write the lock folder:
// a lock another user could create, hold or fill would let that user turn
// every run away or speak through its messages. -1 when it is unfit.
int open_lock_folder()
{
    if (mkdir(lock_folder, LOCK_FOLDER_MODE) != 0 && errno != EEXIST) {
        backend_message("cannot create the lock folder %s: %s", lock_folder, strerror(errno));
        return -1;
    }
    int folder = open(lock_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        backend_message("cannot open the lock folder %s: %s", lock_folder, strerror(errno));
        return -1;
    }
    struct stat status {};
    const char *unfit = nullptr;
    if (fstat(folder, &status) != 0)
        unfit = "cannot be checked";
    else if (status.st_uid != 0 && status.st_uid != geteuid())
        unfit = "belongs to another user";
    else if ((status.st_mode & GROUP_OR_OTHERS_WRITE) != 0)
        unfit = "is writable by other users";
    if (unfit != nullptr) {
        close(folder);
        backend_message("the lock folder %s %s", lock_folder, unfit);
        return -1;
    }
    return folder;
}

// The holder's pid as its lock file gives it; anything but a plain number
// (a file written by something else) is never shown.
void read_holder(int fd, char *holder, size_t holder_size)
{
    char text[PID_TEXT_SIZE] = {};
    ssize_t length = pread(fd, text, sizeof text - 1, 0);
    text[length > 0 ? length : 0] = '\0';
    size_t digits = strspn(text, "0123456789");
    bool plain = digits > 0 && (text[digits] == '\0' || strcmp(text + digits, "\n") == 0);
    text[digits] = '\0';
    snprintf(holder, holder_size, "%s", plain ? text : "unknown");
}

bool lock_target()
{
    if (lock_fd >= 0)
        return true;
    if (lock_refused)
        return false;
    char target[CONFIG_TEXT_SIZE + 32];
    char lock_name[CONFIG_TEXT_SIZE + 64];
    describe_target(target, sizeof target, lock_name, sizeof lock_name);
    lock_refused = true;
    int folder = open_lock_folder();
    if (folder < 0)
        return false;
    int fd = openat(folder, lock_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, LOCK_FILE_MODE);
    int open_error = errno;
    close(folder);
    if (fd < 0) {
        backend_message("cannot open the lock %s/%s: %s", lock_folder, lock_name, strerror(open_error));
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        backend_message("the lock %s/%s is not a regular file", lock_folder, lock_name);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        char pid[PID_TEXT_SIZE];
        int length = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, static_cast<size_t>(length), 0) != length) {
            // The lock holds without the pid; only the message of a refused run is poorer.
        }
        lock_fd = fd;
        lock_refused = false;
        return true;
    }
    char holder[PID_TEXT_SIZE];
    read_holder(fd, holder, sizeof holder);
    close(fd);
    backend_message("%s is in use by process %s", target, holder);
    return false;
}

void release_lock()
{
    if (lock_fd >= 0)
        close(lock_fd);
    lock_fd = -1;
    lock_refused = false;
}

void report_once(LINK_RESULT result, const char *detail)
{
    if (reported[result])
        return;
    reported[result] = true;
    backend_message("%s", detail);
}

bool ensure_open()
{
    if (open_link != nullptr)
        return true;
    if (given_up || bmc_gone || link_ops == nullptr || !lock_target())
        return false;
    char detail[LINK_DETAIL_SIZE] = {};
    void *link = nullptr;
    LINK_RESULT result = link_ops->open(&link_config, &link, detail, sizeof detail);
    if (result == LINK_OK && link != nullptr) {
        open_link = link;
        return true;
    }
    if (result == LINK_OK)
        result = LINK_FAILED;
    report_once(result, detail[0] != '\0' ? detail : "cannot open an IPMI session");
    if (result == LINK_REFUSED)
        given_up = true;
    return false;
}

void fill_response(const HAPI_IPMI_PACKET *request, const uint8_t *answer, size_t answer_length,
                   HAPI_IPMI_PACKET *response)
{
    response->netfn = static_cast<uint8_t>(request->netfn | NETFN_RESPONSE_BIT);
    response->command = answer_length > 0 ? answer[0] : request->command;
    if (answer_length < ANSWER_HEADER) {
        response->driver_status = DRIVER_STATUS_MALFORMED_ANSWER;
        return;
    }
    size_t data_length = answer_length - ANSWER_HEADER;
    // Never write past the record: longer answers are cut to what it holds.
    if (data_length > RESPONSE_DATA_CAPACITY)
        data_length = RESPONSE_DATA_CAPACITY;
    uint8_t *record = reinterpret_cast<uint8_t *>(response);
    record[HAPI_COMPLETION_CODE_OFFSET] = answer[1];
    memcpy(record + HAPI_RESPONSE_DATA_OFFSET, answer + ANSWER_HEADER, data_length);
    response->driver_status = DRIVER_STATUS_SUCCESS;
    response->response_length = static_cast<uint32_t>(REQUEST_HEADER + 1 + data_length);
}

void fill_no_answer(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    const uint8_t answer[ANSWER_HEADER] = {request->command, CC_NO_ANSWER};
    fill_response(request, answer, sizeof answer, response);
}

}  // namespace

static_assert(HAPI_RESPONSE_DATA_OFFSET + RESPONSE_DATA_CAPACITY == HAPI_PACKET_SIZE);
static_assert(REQUEST_HEADER + 1 + RESPONSE_DATA_CAPACITY == HAPI_RESPONSE_LENGTH_MAX);

void session_close()
{
    if (open_link != nullptr && link_ops != nullptr)
        link_ops->close(open_link);
    open_link = nullptr;
}

void session_unload()
{
    session_close();
    release_lock();
}

void session_reset(const LINK_OPS *ops, const BACKEND_CONFIG *config)
{
    session_unload();
    link_ops = ops;
    link_config = *config;
    configured = true;
    given_up = false;
    bmc_gone = false;
    memset(reported, 0, sizeof reported);
}

void session_set_lock_folder(const char *folder)
{
    snprintf(lock_folder, sizeof lock_folder, "%s", folder);
}

bool session_is_configured()
{
    return configured;
}

uint16_t session_exchange(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    if (request == nullptr || response == nullptr)
        return 0;
    memset(response, 0, sizeof *response);
    uint32_t length = request->data_length;
    if (length < REQUEST_HEADER || length > REQUEST_HEADER + HAPI_REQUEST_DATA_MAX)
        return 0;
    if (!ensure_open())
        return 0;

    uint8_t bytes[1 + HAPI_REQUEST_DATA_MAX];
    bytes[0] = request->command;
    memcpy(bytes + 1, request->data, length - REQUEST_HEADER);
    LINK_REQUEST link_request{};
    link_request.slave_address = request->slave_address;
    link_request.lun = request->netfn & LUN_MASK;
    link_request.netfn = static_cast<uint8_t>(request->netfn >> NETFN_SHIFT);
    link_request.bytes = bytes;
    link_request.length = length - 1;

    uint8_t answer[ANSWER_CAPACITY];
    size_t answer_length = 0;
    LINK_RESULT result = link_ops->exchange(open_link, &link_request, answer, sizeof answer, &answer_length);
    if (result == LINK_SESSION_LOST) {
        // The library's context stays unusable after a timeout: start afresh
        // at once. A BMC that takes a new session is alive and only the
        // target was silent; one that does not is gone.
        session_close();
        if (!ensure_open()) {
            bmc_gone = true;
            backend_message("the session with the BMC was lost and no new one could be opened; "
                            "no further requests are sent");
            return 0;
        }
        fill_no_answer(request, response);
        return 1;
    }
    if (result == LINK_NO_ANSWER) {
        fill_no_answer(request, response);
        return 1;
    }
    if (result != LINK_OK)
        return 0;
    if (answer_length > sizeof answer)
        answer_length = sizeof answer;
    fill_response(request, answer, answer_length, response);
    return 1;
}
