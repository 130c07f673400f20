// SPDX-License-Identifier: GPL-3.0-or-later
// The backplane firmware transfer: validates one image, unlocks the board and
// waits out its erase, streams the image in 20-byte chunks with progress,
// leaves transfer mode and checks the board's new revision.
#include "flash/bp_flash.h"

#include <cstdio>
#include <cstring>

#include "datafile/file_handler.h"
#include "ipmi/bmc_fw.h"
#include "ipmi/driver.h"
#include "ipmi/ipmi_commands.h"
#include "ipmi/ipmi_transport.h"
#include "output/print.h"
#include "unlock_codes.h"

namespace {

enum TRANSFER_STATE : uint8_t {
    TS_NOT_PREPARED = 0,
    TS_PREPARED = 1,
    TS_TAKING_CHUNKS = 2,
    TS_LAST_CHUNK_TAKEN = 3,
};

// Attempts and delays of the board's firmware commands.
constexpr uint8_t XFER_MODE_ATTEMPTS = 5;        // ENTER_FW_XFER and EXIT_FW_XFER
constexpr uint16_t XFER_MODE_DELAY_MS = 200;
constexpr uint8_t ERASE_POLL_ATTEMPTS = 2;
constexpr uint16_t ERASE_POLL_DELAY_MS = 10;
constexpr uint8_t FW_DATA_ATTEMPTS = 60;
constexpr uint16_t FW_DATA_DELAY_MS = 20;

// The board does not answer while it erases; it needs about five seconds.
constexpr unsigned ERASE_SETTLE_MS = 5000;
constexpr unsigned ERASE_POLL_INTERVAL_MS = 1000;
constexpr int ERASE_POLL_LIMIT = 60;
// The dots start over after this poll so the row stays on one console line.
constexpr int ERASE_DOTS_RESTART_POLL = 30;

// The new firmware needs time to boot before it answers again.
constexpr unsigned REVISION_SETTLE_MS = 5000;
constexpr unsigned REVISION_RETRY_MS = 500;
constexpr int REVISION_RETRIES = 3;

constexpr uint16_t CHUNK_HEADER_SIZE = 2;    // the address, low byte first
constexpr unsigned PERCENT_FULL = 100;

constexpr char GET_DEVICE_ID_ERROR[] = "\r   GET_DEVICE_ID ERROR while Flashing \n";
constexpr char ENTER_FW_XFER_ERROR[] = "\r   ENTER_FW_XFER ERROR while Flashing \n";
constexpr char EXIT_FW_XFER_ERROR[] = "\r   EXIT_FW_XFER ERROR while Flashing \n";
constexpr char FLASH_ERROR[] = "\r   ERROR while Flashing \n";
constexpr char FLASH_FAILED[] = "\n   Flash Failed\n";
constexpr char FLASH_COMPLETED[] = "\r   Flash Completed\n";
constexpr char FLASH_PROGRESS_FORMAT[] = "\r   Flash %d%% Completed";
constexpr char ERASING[] = "\r   Erasing ";
constexpr char ERASING_AGAIN[] = "\r   Erasing ";
constexpr char ERASE_COMPLETED[] = "completed";
constexpr char PROGRESS_DOT[] = ".";
constexpr char CHECKING_REVISION[] = "\r   Checking Revision ";
constexpr char REVISION_SILENT[] = "\r   Revision Check Failed \n";
constexpr char REVISION_DIFFERS[] = "\r   Revision Check Failed    \n";
constexpr char REVISION_COMPLETED[] = "\r   Checking Revision completed\n";

IPMI_DRIVER_STRUCT board_command(uint8_t attempts, uint16_t delay_ms)
{
    IPMI_DRIVER_STRUCT command{};
    command.retry_count = attempts;
    command.retry_delay = delay_ms;
    return command;
}

RETURN_CODE send_unlock(const BP_FL_INFO *state, const char (&code)[UNLOCK_CODE_LENGTH])
{
    IPMI_DRIVER_STRUCT command = board_command(XFER_MODE_ATTEMPTS, XFER_MODE_DELAY_MS);
    for (uint8_t i = 0; i < UNLOCK_CODE_LENGTH; i++)
        command.request_data[i] = static_cast<uint8_t>(code[i]);
    command.request_length = UNLOCK_CODE_LENGTH;
    return exec_command(state->slave_address, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, &command);
}

RETURN_CODE poll_erase_done(const BP_FL_INFO *state)
{
    IPMI_DRIVER_STRUCT command = board_command(ERASE_POLL_ATTEMPTS, ERASE_POLL_DELAY_MS);
    return exec_command(state->slave_address, NETFN_APP, CMD_GET_DEVICE_ID, &command);
}

RETURN_CODE enter_fw_xfer(BP_FL_INFO *state)
{
    // The codes are assembled here, one byte at a time, so that neither sits
    // in the binary as a string.
    char code[UNLOCK_CODE_LENGTH];
    code[0] = UNLOCK_CODE_1;
    code[1] = UNLOCK_CODE_2;
    code[2] = UNLOCK_CODE_3;
    code[3] = UNLOCK_CODE_4;
    RETURN_CODE result = send_unlock(state, code);
    if (result != RC_SUCCESS) {
        code[0] = ALT_UNLOCK_CODE_1;
        code[1] = ALT_UNLOCK_CODE_2;
        code[2] = ALT_UNLOCK_CODE_3;
        code[3] = ALT_UNLOCK_CODE_4;
        result = send_unlock(state, code);
        if (result != RC_SUCCESS)
            return result;
    }

    display_redirection(PRT_INFO, ERASING);
    DelayMS(ERASE_SETTLE_MS);
    for (int poll = 0; poll < ERASE_POLL_LIMIT; poll++) {
        display_redirection(PRT_PROGRESS, PROGRESS_DOT);
        result = poll_erase_done(state);
        if (result == RC_SUCCESS) {
            display_redirection(PRT_INFO, ERASE_COMPLETED);
            return RC_SUCCESS;
        }
        // A board erasing is silent behind a BMC that answers; a BMC that no
        // longer exchanges anything will not report the erase done.
        if (!library_exchanged_last())
            return result;
        DelayMS(ERASE_POLL_INTERVAL_MS);
        if (poll == ERASE_DOTS_RESTART_POLL) {
            clear_line();
            display_redirection(PRT_INFO, ERASING_AGAIN);
        }
    }
    return result;
}

RETURN_CODE exit_fw_xfer(BP_FL_INFO *state)
{
    IPMI_DRIVER_STRUCT command = board_command(XFER_MODE_ATTEMPTS, XFER_MODE_DELAY_MS);
    return exec_command(state->slave_address, NETFN_FIRMWARE, CMD_EXIT_FW_XFER, &command);
}

RETURN_CODE flash_bp_fw_chunk(BP_FL_INFO *state, BP_ONE_DATA_CHUNK *chunk)
{
    IPMI_DRIVER_STRUCT command = board_command(FW_DATA_ATTEMPTS, FW_DATA_DELAY_MS);
    memcpy(command.request_data, chunk, chunk->send_length);
    command.request_length = chunk->send_length;
    return exec_command(state->slave_address, NETFN_FIRMWARE, CMD_FW_DATA, &command);
}

// An image starts with the low 16 bits of its own length, little-endian.
bool length_marker_matches(uint8_t low, uint8_t high, const IMAGE_HDR *image)
{
    uint16_t marker = static_cast<uint16_t>(low | (high << 8));
    return marker == static_cast<uint16_t>(image->image_length);
}

// Everything the board will be sent is checked here, before the board is
// unlocked: a bad image must never cost the board its erased firmware.
RETURN_CODE validate_image(const IMAGE_HDR *image)
{
    // A boot-block revision could never be confirmed by the revision check.
    if ((image->rev_major & BOOT_BLOCK_BIT) != 0)
        return RC_FAILED;
    RETURN_CODE result = check_datfile_segment_crc(image->data_offset, image->image_length, image->image_crc);
    if (result != RC_SUCCESS)
        return result;

    result = seek_data_file(image->data_offset);
    uint8_t low = 0;
    uint8_t high = 0;
    if (result == RC_SUCCESS)
        result = read_one_byte_from_data_file(&low);
    if (result == RC_SUCCESS)
        result = read_one_byte_from_data_file(&high);
    if (result != RC_SUCCESS)
        return result;
    if (!length_marker_matches(low, high, image))
        return RC_FAILED;

    // The transfer always sends TRANSFER_SIZE bytes; the last of them must be in the file.
    uint32_t last_byte = image->data_offset + (TRANSFER_SIZE - 1u);
    // cppcheck-suppress knownConditionTrueFalse ; the unsigned sum wraps for offsets near 4 GiB
    if (last_byte < image->data_offset)
        return RC_FAILED;
    return seek_data_file(last_byte);
}

RETURN_CODE prepare_to_flash_bp(BP_FL_INFO *state, DEVICES_INFO *device)
{
    if (device->image == nullptr)
        return RC_FAILED;
    RETURN_CODE result = validate_image(device->image);
    if (result != RC_SUCCESS)
        return result;
    // The checks above have moved the shared cursor.
    result = seek_data_file(device->image->data_offset);
    if (result != RC_SUCCESS)
        return result;
    state->transfer_state = TS_PREPARED;
    state->bytes_remaining = TRANSFER_SIZE;
    state->percent_shown = 0;
    state->transfer_address = TRANSFER_BASE_ADDRESS;
    return RC_SUCCESS;
}

RETURN_CODE bp_get_one_chunk(BP_FL_INFO *state, BP_ONE_DATA_CHUNK *chunk)
{
    if (state->transfer_state == TS_NOT_PREPARED || state->transfer_state == TS_LAST_CHUNK_TAKEN)
        return RC_FAILED;

    uint8_t count;
    if (state->bytes_remaining > CHUNK_SIZE) {
        count = CHUNK_SIZE;
        state->bytes_remaining -= CHUNK_SIZE;
        state->transfer_state = TS_TAKING_CHUNKS;
    } else {
        count = static_cast<uint8_t>(state->bytes_remaining);
        state->bytes_remaining = 0;
        state->transfer_state = TS_LAST_CHUNK_TAKEN;
    }
    chunk->send_length = static_cast<uint8_t>(count + CHUNK_HEADER_SIZE);
    chunk->address_low = static_cast<uint8_t>(state->transfer_address & 0xFF);
    chunk->address_high = static_cast<uint8_t>(state->transfer_address >> 8);

    RETURN_CODE result = RC_SUCCESS;
    for (uint8_t i = 0; i < count && result == RC_SUCCESS; i++)
        result = read_one_byte_from_data_file(&chunk->data[i]);
    state->transfer_address = static_cast<uint16_t>(state->transfer_address + count);
    return result;
}

RETURN_CODE bp_get_first_chunk(BP_FL_INFO *state, BP_ONE_DATA_CHUNK *chunk, DEVICES_INFO *device)
{
    RETURN_CODE result = bp_get_one_chunk(state, chunk);
    if (result != RC_SUCCESS)
        return result;
    if (!length_marker_matches(chunk->data[0], chunk->data[1], device->image))
        return RC_FAILED;
    // The board takes the first two bytes as the size of what it is given.
    chunk->data[0] = static_cast<uint8_t>(TRANSFER_SIZE & 0xFF);
    chunk->data[1] = static_cast<uint8_t>(TRANSFER_SIZE >> 8);
    return RC_SUCCESS;
}

void show_progress(BP_FL_INFO *state)
{
    unsigned taken = TRANSFER_SIZE - state->bytes_remaining;
    unsigned percent = taken * PERCENT_FULL / TRANSFER_SIZE;
    if (percent <= state->percent_shown)
        return;
    state->percent_shown = static_cast<uint8_t>(percent > PERCENT_FULL ? PERCENT_FULL : percent);
    char text[sizeof FLASH_PROGRESS_FORMAT + 8];
    snprintf(text, sizeof text, FLASH_PROGRESS_FORMAT, state->percent_shown);
    display_redirection(PRT_PROGRESS, text);
}

RETURN_CODE send_remaining_chunks(BP_FL_INFO *state, BP_ONE_DATA_CHUNK *chunk)
{
    RETURN_CODE result = RC_SUCCESS;
    while (state->transfer_state != TS_LAST_CHUNK_TAKEN) {
        result = bp_get_one_chunk(state, chunk);
        if (result != RC_SUCCESS)
            break;
        result = flash_bp_fw_chunk(state, chunk);
        show_progress(state);
        if (result != RC_SUCCESS)
            break;
    }
    return result;
}

RETURN_CODE check_new_revision(const DEVICES_INFO *device)
{
    // A fresh record: the board's row keeps the revision it had before the flash.
    DEVICES_INFO probe{};
    probe.slave_address = device->slave_address;

    display_redirection(PRT_PROGRESS, CHECKING_REVISION);
    DelayMS(REVISION_SETTLE_MS);
    RETURN_CODE result = check_device(&probe);
    for (int retry = 0; result != RC_SUCCESS && retry < REVISION_RETRIES; retry++) {
        display_redirection(PRT_PROGRESS, PROGRESS_DOT);
        DelayMS(REVISION_RETRY_MS);
        result = check_device(&probe);
    }
    clear_line();
    if (result != RC_SUCCESS) {
        display_redirection(PRT_ERROR, REVISION_SILENT);
        return RC_FLASH_FAILED;
    }
    // Whole bytes: an image never carries bit 7 (validate_image), so a board
    // that answers with it is back in its boot block and has not taken the
    // image, whatever revision its boot block reports beside the bit.
    const IMAGE_HDR *image = device->image;
    if (probe.cur_major != image->rev_major || probe.cur_minor != image->rev_minor) {
        display_redirection(PRT_ERROR, REVISION_DIFFERS);
        return RC_FLASH_FAILED;
    }
    display_redirection(PRT_INFO, REVISION_COMPLETED);
    return RC_SUCCESS;
}

}  // namespace

RETURN_CODE flash_bp_fw(DAT_FILE_INFO *, DEVICES_INFO *device)
{
    BP_FL_INFO state{};
    state.slave_address = device->slave_address;
    state.transfer_state = TS_NOT_PREPARED;
    BP_ONE_DATA_CHUNK chunk{};

    RETURN_CODE result = check_device(device);
    if (result != RC_SUCCESS)
        display_redirection(PRT_DEBUG, GET_DEVICE_ID_ERROR);
    if (result == RC_SUCCESS)
        result = prepare_to_flash_bp(&state, device);
    if (result == RC_SUCCESS) {
        result = enter_fw_xfer(&state);
        if (result != RC_SUCCESS)
            display_redirection(PRT_DEBUG, ENTER_FW_XFER_ERROR);
    }
    if (result == RC_SUCCESS)
        result = bp_get_first_chunk(&state, &chunk, device);
    if (result == RC_SUCCESS)
        result = flash_bp_fw_chunk(&state, &chunk);
    clear_line();

    if (result == RC_SUCCESS)
        result = send_remaining_chunks(&state, &chunk);

    if (result != RC_SUCCESS) {
        display_redirection(PRT_ERROR, FLASH_FAILED);
        // Sent also when the board never entered transfer mode: it costs
        // nothing and leaves no board stuck in it.
        exit_fw_xfer(&state);
        display_redirection(PRT_DEBUG, FLASH_ERROR);
        return RC_FLASH_FAILED;
    }

    clear_line();
    display_redirection(PRT_INFO, FLASH_COMPLETED);
    if (exit_fw_xfer(&state) != RC_SUCCESS) {
        display_redirection(PRT_DEBUG, EXIT_FW_XFER_ERROR);
        return RC_EXIT_FW_XFER_FAILED;
    }
    return check_new_revision(device);
}

void bp_flash_constructor() {}
void bp_flash_destructor() {}
