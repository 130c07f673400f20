// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated IPMI library: a BMC at 0x20 and the boards behind it, with
// the firmware-transfer protocol and injected faults. Owns the platform for
// the life of the library load: read on first use, written back on unload.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/records.h"
#include "ipmi/hapi_packet.h"
#include "ipmi/ipmi_commands.h"
#include "qrxsim_hooks.h"
#include "sim_image.h"
#include "sim_state.h"
#include "unlock_codes.h"

#define QRXSIM_EXPORT extern "C" __attribute__((visibility("default")))
// The variant without the entry exports it under another name only.
#ifdef QRXSIM_WITHOUT_ENTRY
#define QRXSIM_IPMI_ENTRY qrxsim_withheld_ipmi_entry
#else
#define QRXSIM_IPMI_ENTRY QRXIPMCommand
#endif

namespace qrxsim {

namespace {

// Completion codes the simulated controllers answer with.
constexpr uint8_t CC_OK = 0x00;
constexpr uint8_t CC_NODE_BUSY = 0xC0;
constexpr uint8_t CC_INVALID_COMMAND = 0xC1;
constexpr uint8_t CC_TIMEOUT = 0xC3;
constexpr uint8_t CC_REQUEST_LENGTH_INVALID = 0xC7;
constexpr uint8_t CC_PARAMETER_OUT_OF_RANGE = 0xC9;
constexpr uint8_t CC_CANNOT_RETURN_BYTES = 0xCA;
constexpr uint8_t CC_INVALID_DATA = 0xCC;
constexpr uint8_t CC_NOT_IN_PRESENT_STATE = 0xD5;

// Driver statuses of the simulated library (0 is success).
constexpr uint32_t DRIVER_STATUS_TIMEOUT = 0x0E;
constexpr uint32_t DRIVER_STATUS_BAD_REQUEST = 0x16;

constexpr uint16_t ENTRY_CARRIED_OUT = 1;
constexpr uint16_t ENTRY_NOT_CARRIED_OUT = 0;

constexpr uint32_t REQUEST_HEADER_BYTES = HAPI_COMPLETION_CODE_OFFSET - HAPI_LENGTH_BASE;
constexpr uint32_t RESPONSE_HEADER_BYTES = HAPI_RESPONSE_DATA_OFFSET - HAPI_LENGTH_BASE;
constexpr uint32_t ANSWER_DATA_MAX = HAPI_RESPONSE_LENGTH_MAX - RESPONSE_HEADER_BYTES;
constexpr uint32_t SHORT_ANSWER_LENGTH = 2;
constexpr uint32_t OVERLONG_ANSWER_LENGTH = HAPI_RESPONSE_LENGTH_MAX + 1;
constexpr uint8_t OVERLONG_FILL = 0xA5;
// A response's network function is the request's plus one: bit 2 of the byte.
constexpr uint8_t RESPONSE_NETFN_BIT = 0x04;

constexpr uint8_t IPMB_CHANNEL_STATE_BYTES = 2;
constexpr uint8_t CHASSIS_POWER_ON = 0x01;
constexpr uint16_t FIRMWARE_DATA_HEADER = 2;     // address low, address high
constexpr uint8_t BMC_DEVICE_ID = 0x20;
constexpr uint8_t DEVICE_REVISION = 0x01;
constexpr uint8_t BMC_REVISION_MAJOR = 0x02;
constexpr uint8_t BMC_REVISION_MINOR = 0x10;
constexpr uint8_t IPMI_VERSION_2_0 = 0x02;

constexpr char UNLOCK_CODE[UNLOCK_CODE_LENGTH] = {UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3, UNLOCK_CODE_4};
constexpr char ALT_UNLOCK_CODE[UNLOCK_CODE_LENGTH] = {ALT_UNLOCK_CODE_1, ALT_UNLOCK_CODE_2, ALT_UNLOCK_CODE_3, ALT_UNLOCK_CODE_4};

struct Answer {
    uint32_t driver_status = 0;
    uint8_t completion_code = CC_OK;
    uint32_t length = 0;               // answer data bytes after the completion code
    uint8_t data[ANSWER_DATA_MAX] = {};
};

Answer completion(uint8_t code)
{
    Answer answer;
    answer.completion_code = code;
    return answer;
}

Answer data_answer(const uint8_t *bytes, uint32_t length)
{
    Answer answer;
    answer.length = length;
    memcpy(answer.data, bytes, length);
    return answer;
}

// The whole platform lives here from the first request to the unload. What
// a killed process would leave is written as it changes (state file, board
// flash, request log), so the next run finds it; the unload writes it all.
struct Session {
    bool loaded = false;
    bool refused = false;          // another process holds the platform
    Platform platform;
    bool service_up = true;
    std::string state_path;
    int lock_fd = -1;
    int log_fd = -1;
    QRXSIM_RESPONDER responder = nullptr;

    void load()
    {
        loaded = true;
        if (const char *path = getenv(STATE_ENVIRONMENT))
            state_path = path;
        if (!state_path.empty() && !lock())
            return;
        platform = load_platform();
        service_up = service_running();
        if (const char *path = getenv(REQUEST_LOG_ENVIRONMENT))
            log_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }

    bool lock();
    void persist();
    void save();

    ~Session()
    {
        if (loaded && !refused)
            save();
        if (log_fd >= 0)
            close(log_fd);
        if (lock_fd >= 0)
            close(lock_fd);
    }
};

Session session;

// One process at a time drives a platform, as one BMC serves one flash run:
// the holder's pid is kept in the lock file for the one that is turned away.
bool Session::lock()
{
    std::string path = state_path + ".lock";
    lock_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd >= 0 && flock(lock_fd, LOCK_EX | LOCK_NB) == 0) {
        char pid[24];
        int length = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
        if (ftruncate(lock_fd, 0) != 0 || pwrite(lock_fd, pid, static_cast<size_t>(length), 0) != length)
            fprintf(stderr, "qrxsim: cannot write %s\n", path.c_str());
        return true;
    }
    char holder[24] = "unknown";
    if (lock_fd >= 0) {
        ssize_t length = pread(lock_fd, holder, sizeof holder - 1, 0);
        if (length > 0) {
            holder[length] = '\0';
            holder[strcspn(holder, "\n")] = '\0';
        } else {
            snprintf(holder, sizeof holder, "unknown");
        }
        close(lock_fd);
        lock_fd = -1;
    }
    fprintf(stderr, "qrxsim: platform %s is in use by process %s\n", state_path.c_str(), holder);
    fflush(stderr);
    refused = true;
    return false;
}

void write_file(const std::string &path, const char *bytes, size_t length, std::ios::openmode mode)
{
    std::ofstream file(path, mode | std::ios::binary);
    file.write(bytes, static_cast<std::streamsize>(length));
    if (!file)
        fprintf(stderr, "qrxsim: cannot write %s\n", path.c_str());
}

std::string image_path(const Board &board)
{
    char name[32];
    snprintf(name, sizeof name, "/board_%02x.bin", board.address);
    return state_folder() + name;
}

// The state as a killed run leaves it: a board in transfer mode has no
// complete firmware and comes back from its boot block.
void Session::persist()
{
    if (state_path.empty())
        return;
    Platform left = platform;
    for (Board &board : left.boards) {
        if (board.in_transfer)
            board.revision.major |= BOOT_BLOCK_BIT;
    }
    std::string text = render_platform(left);
    std::string temporary = state_path + ".tmp";
    write_file(temporary, text.data(), text.size(), std::ios::trunc);
    if (rename(temporary.c_str(), state_path.c_str()) != 0)
        fprintf(stderr, "qrxsim: cannot write %s\n", state_path.c_str());
}

void Session::save()
{
    if (state_path.empty())
        return;
    std::string folder = state_folder();
    for (Board &board : platform.boards) {
        // A board left in transfer mode has no complete firmware: it comes
        // back from its boot block.
        if (board.in_transfer)
            board.revision.major |= BOOT_BLOCK_BIT;
        if (board.flash_touched) {
            char name[32];
            snprintf(name, sizeof name, "/board_%02x.bin", board.address);
            write_file(folder + name, reinterpret_cast<const char *>(board.flash.data()), board.flash.size(), std::ios::trunc);
        }
    }
    persist();
}

void log_request(const HAPI_IPMI_PACKET *request)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string log;
    auto hex_byte = [&log](uint8_t byte) {
        log += HEX[byte >> 4];
        log += HEX[byte & 0x0F];
    };
    hex_byte(request->slave_address);
    log += ' ';
    hex_byte(request->netfn);
    log += ' ';
    hex_byte(request->command);
    uint32_t data_length = request->data_length >= REQUEST_HEADER_BYTES ? request->data_length - REQUEST_HEADER_BYTES : 0;
    if (data_length > HAPI_REQUEST_DATA_MAX)
        data_length = HAPI_REQUEST_DATA_MAX;
    if (data_length > 0)
        log += ' ';
    for (uint32_t i = 0; i < data_length; i++)
        hex_byte(request->data[i]);
    log += '\n';
    // One write per line, at once: a killed run's requests are all in the log.
    if (write(session.log_fd, log.data(), log.size()) != static_cast<ssize_t>(log.size()))
        fprintf(stderr, "qrxsim: cannot write the request log\n");
}

bool request_is_well_formed(const HAPI_IPMI_PACKET *request)
{
    return request->request_type == HAPI_REQUEST_TYPE && request->data_length >= REQUEST_HEADER_BYTES &&
           request->data_length <= REQUEST_HEADER_BYTES + HAPI_REQUEST_DATA_MAX && request->channel == 0 &&
           request->reserved[0] == 0 && request->reserved[1] == 0 && request->reserved[2] == 0;
}

Fault *matching_fault(const HAPI_IPMI_PACKET *request)
{
    for (Fault &fault : session.platform.faults) {
        if (fault.remaining == 0)
            continue;
        if ((fault.target < 0 || fault.target == request->slave_address) && (fault.netfn < 0 || fault.netfn == request->netfn) &&
            (fault.command < 0 || fault.command == request->command)) {
            // A rule that starts later lets this request go on to the next rules.
            if (fault.pass_first > 0) {
                fault.pass_first--;
                continue;
            }
            // A signal to the caller, delivered as if from outside; the
            // request itself goes on to be answered.
            if (fault.kind == FaultKind::signal) {
                if (fault.remaining > 0)
                    fault.remaining--;
                kill(getpid(), fault.signal_number);
                continue;
            }
            return &fault;
        }
    }
    return nullptr;
}

Answer bmc_request(uint8_t netfn, uint8_t command, const uint8_t *data, uint32_t length)
{
    Platform &platform = session.platform;
    if (netfn == NETFN_APP && command == CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE) {
        if (length != IPMB_CHANNEL_STATE_BYTES)
            return completion(CC_REQUEST_LENGTH_INVALID);
        return data_answer(data, IPMB_CHANNEL_STATE_BYTES);
    }
    if (netfn == NETFN_APP && command == CMD_GET_DEVICE_ID) {
        const uint8_t device_id[DEVICE_ID_ANSWER_LENGTH] = {BMC_DEVICE_ID, DEVICE_REVISION, BMC_REVISION_MAJOR, BMC_REVISION_MINOR, IPMI_VERSION_2_0};
        return data_answer(device_id, DEVICE_ID_ANSWER_LENGTH);
    }
    if (netfn == NETFN_CHASSIS && command == CMD_GET_CHASSIS_STATUS) {
        uint8_t status[ANSWER_DATA_MAX] = {CHASSIS_POWER_ON, 0x00, 0x00, platform.front_panel};
        return data_answer(status, static_cast<uint32_t>(platform.chassis_status_length));
    }
    if (netfn == NETFN_CHASSIS && command == CMD_SET_FRONT_PANEL_ENABLES) {
        if (length != 1)
            return completion(CC_REQUEST_LENGTH_INVALID);
        platform.front_panel = data[0];
        session.persist();
        return completion(CC_OK);
    }
    return completion(CC_INVALID_COMMAND);
}

Answer board_device_id(Board &board)
{
    // Erasing: no answer until the configured number of requests went unanswered.
    if (board.in_transfer && board.erase_left != 0) {
        if (board.erase_left > 0)
            board.erase_left--;
        return completion(CC_TIMEOUT);
    }
    uint8_t major = board.revision.major;
    if (board.in_transfer)
        major |= BOOT_BLOCK_BIT;
    const uint8_t device_id[DEVICE_ID_ANSWER_LENGTH] = {board.address, DEVICE_REVISION, major, board.revision.minor, IPMI_VERSION_2_0};
    return data_answer(device_id, DEVICE_ID_ANSWER_LENGTH);
}

Answer board_enter_transfer(Board &board, const uint8_t *data, uint32_t length)
{
    if (length != UNLOCK_CODE_LENGTH)
        return completion(CC_REQUEST_LENGTH_INVALID);
    bool primary = memcmp(data, UNLOCK_CODE, UNLOCK_CODE_LENGTH) == 0;
    bool alternate = memcmp(data, ALT_UNLOCK_CODE, UNLOCK_CODE_LENGTH) == 0;
    bool accepted = (primary && board.unlock_refused == UnlockRefusal::none) ||
                    (alternate && board.unlock_refused != UnlockRefusal::both);
    if (!accepted)
        return completion(CC_INVALID_DATA);
    board.in_transfer = true;
    board.erase_left = board.erase_busy;
    board.chunks_accepted = 0;
    board.flash.assign(FLASH_SIZE, ERASED_BYTE);
    board.flash_touched = true;
    if (!session.state_path.empty())
        write_file(image_path(board), reinterpret_cast<const char *>(board.flash.data()), board.flash.size(), std::ios::trunc);
    session.persist();
    return completion(CC_OK);
}

Answer board_firmware_data(Board &board, const uint8_t *data, uint32_t length)
{
    if (!board.in_transfer)
        return completion(CC_NOT_IN_PRESENT_STATE);
    if (board.erase_left != 0)
        return completion(CC_NODE_BUSY);
    if (length <= FIRMWARE_DATA_HEADER)
        return completion(CC_REQUEST_LENGTH_INVALID);
    uint32_t address = data[0] | (data[1] << 8);
    uint32_t count = length - FIRMWARE_DATA_HEADER;
    if (address < FLASH_START || address + count > FLASH_END)
        return completion(CC_PARAMETER_OUT_OF_RANGE);
    if (board.refuse_chunk == board.chunks_accepted + 1)
        return completion(CC_INVALID_DATA);
    memcpy(board.flash.data() + (address - FLASH_START), data + FIRMWARE_DATA_HEADER, count);
    board.chunks_accepted++;
    if (!session.state_path.empty()) {
        int fd = open(image_path(board).c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || pwrite(fd, data + FIRMWARE_DATA_HEADER, count, address - FLASH_START) != static_cast<ssize_t>(count))
            fprintf(stderr, "qrxsim: cannot write the image of board 0x%02X\n", board.address);
        if (fd >= 0)
            close(fd);
    }
    return completion(CC_OK);
}

Answer board_exit_transfer(Board &board)
{
    if (!board.in_transfer || board.refuse_exit)
        return completion(CC_NOT_IN_PRESENT_STATE);
    board.in_transfer = false;
    // The new firmware reports the revision its image carries.
    if (board.revision_after_flash_set) {
        board.revision = board.revision_after_flash;
    } else {
        board.revision.major = board.flash[SIM_IMAGE_REVISION_MAJOR_OFFSET];
        board.revision.minor = board.flash[SIM_IMAGE_REVISION_MINOR_OFFSET];
    }
    if (board.silent_after_flash)
        board.silent = true;
    session.persist();
    return completion(CC_OK);
}

Answer board_request(Board &board, uint8_t netfn, uint8_t command, const uint8_t *data, uint32_t length)
{
    if (netfn == NETFN_APP && command == CMD_GET_DEVICE_ID)
        return board_device_id(board);
    if (netfn == NETFN_FIRMWARE && command == CMD_ENTER_FW_XFER)
        return board_enter_transfer(board, data, length);
    if (netfn == NETFN_FIRMWARE && command == CMD_FW_DATA)
        return board_firmware_data(board, data, length);
    if (netfn == NETFN_FIRMWARE && command == CMD_EXIT_FW_XFER)
        return board_exit_transfer(board);
    return completion(CC_INVALID_COMMAND);
}

Answer emulate(const HAPI_IPMI_PACKET *request)
{
    if (session.platform.bmc_silent) {
        Answer answer;
        answer.driver_status = DRIVER_STATUS_TIMEOUT;
        return answer;
    }
    uint32_t length = request->data_length - REQUEST_HEADER_BYTES;
    if (request->slave_address == BMC_SLAVE_ADDRESS)
        return bmc_request(request->netfn, request->command, request->data, length);
    for (Board &board : session.platform.boards) {
        if (board.address == request->slave_address && !board.silent)
            return board_request(board, request->netfn, request->command, request->data, length);
    }
    // Nobody at that address on the IPMB: the BMC's bridged request times out.
    return completion(CC_TIMEOUT);
}

void fill_response(const HAPI_IPMI_PACKET *request, const Answer &answer, HAPI_IPMI_PACKET *response)
{
    response->driver_status = answer.driver_status;
    if (answer.driver_status != 0)
        return;
    response->netfn = request->netfn | RESPONSE_NETFN_BIT;
    response->command = request->command;
    // The caller's expected length is the room it has for the answer.
    if (RESPONSE_HEADER_BYTES + answer.length > request->response_length) {
        response->data[0] = CC_CANNOT_RETURN_BYTES;
        response->response_length = RESPONSE_HEADER_BYTES;
        return;
    }
    response->data[0] = answer.completion_code;
    response->response_length = RESPONSE_HEADER_BYTES + answer.length;
    memcpy(reinterpret_cast<uint8_t *>(response) + HAPI_RESPONSE_DATA_OFFSET, answer.data, answer.length);
}

// Returns false when the fault means the exchange was not carried out.
bool apply_fault(Fault &fault, const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    if (fault.remaining > 0)
        fault.remaining--;
    response->netfn = request->netfn | RESPONSE_NETFN_BIT;
    response->command = request->command;
    response->response_length = RESPONSE_HEADER_BYTES;
    switch (fault.kind) {
    case FaultKind::completion_code:
        response->data[0] = fault.completion_code;
        break;
    case FaultKind::driver_status:
        response->driver_status = DRIVER_STATUS_TIMEOUT;
        break;
    case FaultKind::no_exchange:
        return false;
    case FaultKind::signal:    // delivered while matching, never applied
        break;
    case FaultKind::short_answer:
        response->response_length = SHORT_ANSWER_LENGTH;
        break;
    case FaultKind::overlong_answer: {
        response->response_length = OVERLONG_ANSWER_LENGTH;
        uint8_t *raw = reinterpret_cast<uint8_t *>(response);
        memset(raw + HAPI_RESPONSE_DATA_OFFSET, OVERLONG_FILL, HAPI_PACKET_SIZE - HAPI_RESPONSE_DATA_OFFSET);
        break;
    }
    }
    return true;
}

}  // namespace

}  // namespace qrxsim

QRXSIM_EXPORT uint16_t QRXSIM_IPMI_ENTRY(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    using namespace qrxsim;
    if (!session.loaded)
        session.load();
    // Turned away: nothing reaches the platform, nothing is logged.
    if (session.refused)
        return ENTRY_NOT_CARRIED_OUT;
    if (session.log_fd >= 0)
        log_request(request);
    if (session.responder != nullptr)
        return session.responder(request, response);

    *response = HAPI_IPMI_PACKET{};
    // The driver service is what carries the exchange.
    if (!session.service_up)
        return ENTRY_NOT_CARRIED_OUT;
    if (!request_is_well_formed(request)) {
        response->driver_status = DRIVER_STATUS_BAD_REQUEST;
        return ENTRY_CARRIED_OUT;
    }
    if (Fault *fault = matching_fault(request))
        return apply_fault(*fault, request, response) ? ENTRY_CARRIED_OUT : ENTRY_NOT_CARRIED_OUT;
    fill_response(request, emulate(request), response);
    return ENTRY_CARRIED_OUT;
}

QRXSIM_EXPORT void qrxsim_set_responder(QRXSIM_RESPONDER responder)
{
    qrxsim::session.responder = responder;
}
