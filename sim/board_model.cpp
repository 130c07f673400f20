// SPDX-License-Identifier: GPL-3.0-or-later
// The one model of the BMC and the boards: everything a simulated controller
// does with a request, over a Platform held by whoever drives it.
#include "board_model.h"

#include <cstring>

#include "app/records.h"
#include "ipmi/ipmi_commands.h"
#include "sim_image.h"
#include "unlock_codes.h"

namespace qrxsim {

namespace {

constexpr uint32_t REQUEST_HEADER_BYTES = HAPI_COMPLETION_CODE_OFFSET - HAPI_LENGTH_BASE;
constexpr uint32_t SHORT_ANSWER_LENGTH = 2;
constexpr uint32_t OVERLONG_ANSWER_LENGTH = HAPI_RESPONSE_LENGTH_MAX + 1;
constexpr uint8_t OVERLONG_FILL = 0xA5;
// A response's network function is the request's plus one: bit 2 of the byte.
constexpr uint8_t RESPONSE_NETFN_BIT = 0x04;

constexpr uint8_t IPMB_CHANNEL_STATE_BYTES = 2;
constexpr uint8_t CHASSIS_POWER_ON = 0x01;
constexpr uint8_t BMC_DEVICE_ID = 0x20;
constexpr uint8_t DEVICE_REVISION = 0x01;
constexpr uint8_t BMC_REVISION_MAJOR = 0x02;
constexpr uint8_t BMC_REVISION_MINOR = 0x10;
constexpr uint8_t IPMI_VERSION_2_0 = 0x02;
// The rest of a Get Device ID answer: what the controller supports (the BMC
// every function, a board a sensor device), the maker and product numbers,
// and four auxiliary revision bytes left at zero.
constexpr uint8_t BOARD_DEVICE_ID = 0x01;
constexpr uint8_t BMC_SUPPORT = 0xBF;
constexpr uint8_t BOARD_SUPPORT = 0x01;
constexpr uint8_t MANUFACTURER_ID_1 = 0x91;
constexpr uint8_t MANUFACTURER_ID_2 = 0x12;
constexpr uint8_t MANUFACTURER_ID_3 = 0x00;
constexpr uint8_t PRODUCT_ID_1 = 0x00;
constexpr uint8_t PRODUCT_ID_2 = 0x01;

Observer quiet_observer;

constexpr char UNLOCK_CODE[UNLOCK_CODE_LENGTH] = {UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3, UNLOCK_CODE_4};
constexpr char ALT_UNLOCK_CODE[UNLOCK_CODE_LENGTH] = {ALT_UNLOCK_CODE_1, ALT_UNLOCK_CODE_2, ALT_UNLOCK_CODE_3,
                                                      ALT_UNLOCK_CODE_4};

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

bool request_is_well_formed(const HAPI_IPMI_PACKET *request)
{
    return request->request_type == HAPI_REQUEST_TYPE && request->data_length >= REQUEST_HEADER_BYTES &&
        request->data_length <= REQUEST_HEADER_BYTES + HAPI_REQUEST_DATA_MAX && request->channel == 0 &&
        request->reserved[0] == 0 && request->reserved[1] == 0 && request->reserved[2] == 0;
}

Fault *matching_fault(Platform &platform, const HAPI_IPMI_PACKET *request, Observer &observer)
{
    for (Fault &fault : platform.faults) {
        if (fault.remaining == 0)
            continue;
        if ((fault.target < 0 || fault.target == request->slave_address) &&
            (fault.netfn < 0 || fault.netfn == request->netfn) &&
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
                observer.signal_requested(fault.signal_number);
                continue;
            }
            return &fault;
        }
    }
    return nullptr;
}

Answer bmc_request(Platform &platform, uint8_t netfn, uint8_t command, const uint8_t *data, uint32_t length,
                   Observer &observer)
{
    if (netfn == NETFN_APP && command == CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE) {
        if (length != IPMB_CHANNEL_STATE_BYTES)
            return completion(CC_REQUEST_LENGTH_INVALID);
        return data_answer(data, IPMB_CHANNEL_STATE_BYTES);
    }
    if (netfn == NETFN_APP && command == CMD_GET_DEVICE_ID) {
        const uint8_t device_id[DEVICE_ID_ANSWER_LENGTH] = {
            BMC_DEVICE_ID,     DEVICE_REVISION,   BMC_REVISION_MAJOR, BMC_REVISION_MINOR, IPMI_VERSION_2_0, BMC_SUPPORT,
            MANUFACTURER_ID_1, MANUFACTURER_ID_2, MANUFACTURER_ID_3,  PRODUCT_ID_1,       PRODUCT_ID_2};
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
        observer.platform_changed();
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
    const uint8_t device_id[DEVICE_ID_ANSWER_LENGTH] = {BOARD_DEVICE_ID,      DEVICE_REVISION,   major,
                                                        board.revision.minor, IPMI_VERSION_2_0,  BOARD_SUPPORT,
                                                        MANUFACTURER_ID_1,    MANUFACTURER_ID_2, MANUFACTURER_ID_3,
                                                        PRODUCT_ID_1,         PRODUCT_ID_2};
    return data_answer(device_id, DEVICE_ID_ANSWER_LENGTH);
}

Answer board_enter_transfer(Board &board, const uint8_t *data, uint32_t length, Observer &observer)
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
    observer.board_erased(board);
    observer.platform_changed();
    return completion(CC_OK);
}

Answer board_firmware_data(Board &board, const uint8_t *data, uint32_t length, Observer &observer)
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
    observer.board_written(board, address - FLASH_START, count);
    return completion(CC_OK);
}

Answer board_exit_transfer(Board &board, Observer &observer)
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
    observer.platform_changed();
    return completion(CC_OK);
}

Answer board_request(Board &board, uint8_t netfn, uint8_t command, const uint8_t *data, uint32_t length,
                     Observer &observer)
{
    if (netfn == NETFN_APP && command == CMD_GET_DEVICE_ID)
        return board_device_id(board);
    if (netfn == NETFN_FIRMWARE && command == CMD_ENTER_FW_XFER)
        return board_enter_transfer(board, data, length, observer);
    if (netfn == NETFN_FIRMWARE && command == CMD_FW_DATA)
        return board_firmware_data(board, data, length, observer);
    if (netfn == NETFN_FIRMWARE && command == CMD_EXIT_FW_XFER)
        return board_exit_transfer(board, observer);
    return completion(CC_INVALID_COMMAND);
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
    case FaultKind::completion_code: response->data[0] = fault.completion_code; break;
    case FaultKind::driver_status: response->driver_status = DRIVER_STATUS_TIMEOUT; break;
    case FaultKind::no_exchange: return false;
    case FaultKind::signal:  // delivered while matching, never applied
        break;
    case FaultKind::short_answer: response->response_length = SHORT_ANSWER_LENGTH; break;
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

Answer answer_request(Platform &platform, uint8_t address, uint8_t netfn, uint8_t command, const uint8_t *data,
                      uint32_t length, Observer *observer)
{
    Observer &told = observer != nullptr ? *observer : quiet_observer;
    if (platform.bmc_silent) {
        Answer answer;
        answer.driver_status = DRIVER_STATUS_TIMEOUT;
        return answer;
    }
    if (address == BMC_SLAVE_ADDRESS)
        return bmc_request(platform, netfn, command, data, length, told);
    for (Board &board : platform.boards) {
        if (board.address == address && !board.silent)
            return board_request(board, netfn, command, data, length, told);
    }
    // Nobody at that address on the IPMB: the BMC's bridged request times out.
    return completion(CC_TIMEOUT);
}

uint16_t exchange(Platform &platform, bool service_up, const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response,
                  Observer *observer)
{
    *response = HAPI_IPMI_PACKET{};
    // The driver service is what carries the exchange.
    if (!service_up)
        return ENTRY_NOT_CARRIED_OUT;
    if (!request_is_well_formed(request)) {
        response->driver_status = DRIVER_STATUS_BAD_REQUEST;
        return ENTRY_CARRIED_OUT;
    }
    if (Fault *fault = matching_fault(platform, request, observer != nullptr ? *observer : quiet_observer))
        return apply_fault(*fault, request, response) ? ENTRY_CARRIED_OUT : ENTRY_NOT_CARRIED_OUT;
    const uint32_t length = request->data_length - REQUEST_HEADER_BYTES;
    fill_response(request,
                  answer_request(platform, request->slave_address, request->netfn, request->command, request->data,
                                 length, observer),
                  response);
    return ENTRY_CARRIED_OUT;
}

void end_run(Platform &platform)
{
    for (Board &board : platform.boards) {
        if (board.in_transfer)
            board.revision.major |= BOOT_BLOCK_BIT;
    }
}

}  // namespace qrxsim
