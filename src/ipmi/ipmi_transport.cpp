// SPDX-License-Identifier: GPL-3.0-or-later
// The IPMI transport: the one road to the BMC and the boards. Packs a command
// into the library's 68-byte record, makes the caller's number of attempts
// with a wait after each failed one, and owns the program's sleep.
#include "ipmi/ipmi_transport.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

#include <cstring>

#include "ipmi/driver.h"
#include "ipmi/hapi_packet.h"
#include "ipmi/ipmi_commands.h"
#include "output/print.h"

namespace {

// Lengths in the record count from offset 28: the request's network-function
// and command bytes, and the answer's network-function, command and
// completion-code bytes ahead of its data.
constexpr uint32_t REQUEST_HEADER_BYTES = HAPI_COMPLETION_CODE_OFFSET - HAPI_LENGTH_BASE;
constexpr uint32_t RESPONSE_HEADER_BYTES = HAPI_RESPONSE_DATA_OFFSET - HAPI_LENGTH_BASE;
static_assert(HAPI_RESPONSE_LENGTH_MAX - RESPONSE_HEADER_BYTES <= IPMI_DATA_FIELD_SIZE);

constexpr uint32_t BMC_EXPECTED_LENGTH = 35;
constexpr uint32_t DEFAULT_EXPECTED_LENGTH = 32;
// For this command the board announces its answer size in the request.
constexpr uint8_t COMMAND_SIZED_BY_REQUEST = 0x11;
constexpr int SIZE_REQUEST_BYTE = 3;
constexpr uint32_t SIZE_REQUEST_EXTRA = 4;
constexpr unsigned int MICROSECONDS_PER_MILLISECOND = 1000;

struct EXPECTED_LENGTH_ENTRY {
    uint8_t command;
    uint32_t length;
};

// Answer sizes the boards' commands are known for, counted like the record's
// response length (so Get Device ID's 15 data bytes give 18).
constexpr EXPECTED_LENGTH_ENTRY board_expected_lengths[] = {
    {0x01, 18}, {0x02, 3}, {0x03, 3}, {0x04, 5}, {0x10, 6}, {0x12, 4},
    {0x24, 3}, {0x25, 5}, {0x26, 3}, {0x27, 10}, {0x2D, 7},
};

uint32_t expected_response_length(unsigned char slave_address, unsigned char command, const IPMI_DRIVER_STRUCT *cmd)
{
    if (slave_address == BMC_SLAVE_ADDRESS)
        return BMC_EXPECTED_LENGTH;
    if (command == COMMAND_SIZED_BY_REQUEST)
        return cmd->request_data[SIZE_REQUEST_BYTE] + SIZE_REQUEST_EXTRA;
    for (const EXPECTED_LENGTH_ENTRY &entry : board_expected_lengths) {
        if (entry.command == command)
            return entry.length;
    }
    return DEFAULT_EXPECTED_LENGTH;
}

}  // namespace

RETURN_CODE exec_command(unsigned char slave_address, unsigned char netfn, unsigned char command, IPMI_DRIVER_STRUCT *cmd)
{
    RETURN_CODE result = RC_FAILED;
    // A request the record cannot carry is refused before any exchange: no
    // attempt could carry it, so none is made and none is waited for.
    if (get_hapi_ipmi_entry() != nullptr && cmd->request_length <= HAPI_REQUEST_DATA_MAX) {
        unsigned int attempts = 0;
        while (result != RC_SUCCESS && attempts < cmd->retry_count) {
            result = hapi_exec_command(slave_address, netfn, command, cmd);
            if (result != RC_SUCCESS || cmd->completion_code != 0) {
                // A rejected command is retried like a lost one, and the wait
                // follows the last attempt too.
                result = RC_FAILED;
                log_exec_cmd_retry();
                DelayMS(cmd->retry_delay);
                attempts++;
            }
        }
    }
    if (result != RC_SUCCESS)
        log_last_exec_cmd_error(cmd);
    return result;
}

RETURN_CODE hapi_exec_command(unsigned char slave_address, unsigned char netfn, unsigned char command, IPMI_DRIVER_STRUCT *cmd)
{
    cmd->response_offset = 0;
    HAPI_IPMI_ENTRY entry = get_hapi_ipmi_entry();
    if (entry == nullptr || cmd->request_length > HAPI_REQUEST_DATA_MAX)
        return RC_FAILED;

    // Everything the library is not told, offsets 0 to 15 among it, is zero.
    HAPI_IPMI_PACKET request{};
    HAPI_IPMI_PACKET response{};
    request.request_type = HAPI_REQUEST_TYPE;
    request.data_length = cmd->request_length + REQUEST_HEADER_BYTES;
    request.response_length = expected_response_length(slave_address, command, cmd);
    request.netfn = netfn;
    request.command = command;
    memcpy(request.data, cmd->request_data, cmd->request_length);
    request.slave_address = slave_address;

    uint16_t carried_out = entry(&request, &response);
    note_library_exchange(carried_out != 0);

    const uint8_t *raw_response = reinterpret_cast<const uint8_t *>(&response);
    uint8_t completion_code = raw_response[HAPI_COMPLETION_CODE_OFFSET];
    // An answer claiming more bytes than the record holds is not trusted at all.
    if (carried_out == 0 || response.driver_status != 0 || completion_code != 0 ||
        response.response_length < RESPONSE_HEADER_BYTES || response.response_length > HAPI_RESPONSE_LENGTH_MAX) {
        log_last_driver_error(response.driver_status, completion_code, response.response_length);
        return RC_FAILED;
    }

    uint32_t answer_bytes = response.response_length - RESPONSE_HEADER_BYTES;
    cmd->response_length = static_cast<uint16_t>(answer_bytes);
    cmd->completion_code = completion_code;
    memcpy(cmd->response_data, raw_response + HAPI_RESPONSE_DATA_OFFSET, answer_bytes);
    return RC_SUCCESS;
}

void DelayMS(unsigned int milliseconds)
{
    // A termination request held during the flash run cuts the sleep short;
    // the board is still given its whole wait.
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    uint64_t wanted = static_cast<uint64_t>(milliseconds) * MICROSECONDS_PER_MILLISECOND;
    uint64_t remaining = wanted;
    while (usleep(static_cast<useconds_t>(remaining)) != 0 && errno == EINTR) {
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t elapsed = (now.tv_sec - start.tv_sec) * 1000000LL + (now.tv_nsec - start.tv_nsec) / 1000;
        if (elapsed < 0 || static_cast<uint64_t>(elapsed) >= wanted)
            break;
        remaining = wanted - static_cast<uint64_t>(elapsed);
    }
}
