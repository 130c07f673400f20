// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the data file, from the loaded bytes to the board: load,
// header and CRC checks, image headers and image matching against a fuzzed
// board table, the read cursor under seeks and reads, and then the transfer of
// every matched image to the boards of the one board model (sim/board_model.h)
// through the real transport. Every step is checked against a model of the
// format whose verdicts must agree with the data-file kit's; the boards'
// requests are watched: nothing may reach a board for an image that fails
// validation, and what it is sent must be the image.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datafile/datahandler.h"
#include "datafile/file_handler.h"
#include "board_model.h"
#include "datafile_kit.h"
#include "sim_image.h"
#include "sim_link.h"
#include "flash/bp_flash.h"
#include "flash/discovery.h"
#include "fuzz_check.h"
#include "ipmi/ipmi_commands.h"
#include "output/print.h"

namespace {

// The fuzz input: a fixed-size setting block, then the data file itself.
constexpr size_t ROW_SETTINGS = 3;    // per board row: status, device type, revision
constexpr size_t BOARD_SETTINGS = 4;  // faults, refused chunk (2 bytes), erase length
constexpr size_t RESEAL_SETTING = 1;
constexpr size_t OPERATION_COUNT = 8;  // seeks and reads against the cursor model
constexpr size_t SETTINGS_SIZE =
    const_glob_devices_count * ROW_SETTINGS + BOARD_SETTINGS + RESEAL_SETTING + OPERATION_COUNT;

constexpr uint32_t TRANSFER_END = TRANSFER_BASE_ADDRESS + TRANSFER_SIZE;
constexpr size_t CHUNK_HEADER_SIZE = 2;
constexpr unsigned CHUNK_COUNT = (TRANSFER_SIZE + CHUNK_SIZE - 1) / CHUNK_SIZE;
// The erase wait polls 60 times with two attempts each.
constexpr unsigned ERASE_ATTEMPTS = 120;
constexpr uint8_t FAILED_READ_BYTE = 0xFF;
constexpr uint8_t ADDRESSES[const_glob_devices_count] = {0xC0, 0xC2, 0xC4};

using datafile_kit::crc16;
using datafile_kit::get_le16;

// ---- the boards, one board model -----------------------------------------

// What the target watches of each board's requests, beside the model's state.
struct Watch {
    unsigned unlock_requests = 0;
    unsigned data_requests = 0;  // every attempt
    uint32_t next_address = TRANSFER_BASE_ADDRESS;
};

qrxsim::Platform platform;
std::array<Watch, const_glob_devices_count> watches;
// The data-file kit's verdict on the case's file.
datafile_kit::Check kit_verdict;

qrxsim::Board &board_of(size_t row)
{
    return platform.boards[row];
}

int row_of(uint8_t address)
{
    for (size_t i = 0; i < const_glob_devices_count; i++)
        if (ADDRESSES[i] == address)
            return static_cast<int>(i);
    return -1;
}

uint16_t play_platform(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    const int row = row_of(request->slave_address);
    FUZZ_CHECK(row >= 0, "request to %02x, which is no board of the table", request->slave_address);
    Watch &watch = watches[row];
    const uint32_t request_bytes = request->data_length - CHUNK_HEADER_SIZE;
    if (request->netfn == NETFN_FIRMWARE && request->command == CMD_ENTER_FW_XFER) {
        watch.unlock_requests++;
        FUZZ_CHECK(request_bytes == UNLOCK_CODE_LENGTH, "unlock request of %u bytes", request_bytes);
    } else if (request->netfn == NETFN_FIRMWARE && request->command == CMD_FW_DATA) {
        watch.data_requests++;
        FUZZ_CHECK(board_of(row).in_transfer, "data sent to board %02x outside transfer mode", request->slave_address);
        FUZZ_CHECK(request_bytes > CHUNK_HEADER_SIZE && request_bytes <= CHUNK_HEADER_SIZE + CHUNK_SIZE,
                   "data command of %u bytes", request_bytes);
        const uint32_t address = get_le16(request->data);
        const uint32_t count = request_bytes - CHUNK_HEADER_SIZE;
        FUZZ_CHECK(address == watch.next_address, "chunk for %04x, the next address is %04x", address,
                   watch.next_address);
        FUZZ_CHECK(address + count <= TRANSFER_END, "chunk at %04x of %u bytes runs past %04x", address, count,
                   TRANSFER_END);
    } else {
        FUZZ_CHECK((request->netfn == NETFN_APP && request->command == CMD_GET_DEVICE_ID) ||
                       (request->netfn == NETFN_FIRMWARE && request->command == CMD_EXIT_FW_XFER),
                   "board %02x got network function %02x command %02x", request->slave_address, request->netfn,
                   request->command);
    }
    const int accepted_before = board_of(row).chunks_accepted;
    const uint16_t result = qrxsim::exchange(platform, true, request, response);
    if (request->command == CMD_FW_DATA && board_of(row).chunks_accepted > accepted_before)
        watch.next_address += request_bytes - CHUNK_HEADER_SIZE;
    return result;
}

// ---- the model of the data file -------------------------------------------

struct FileModel {
    const uint8_t *bytes;
    uint32_t size;

    bool readable(uint32_t start, uint32_t count) const { return start < size && count <= size - start; }

    // data_file_handler's result for this file and board table.
    RETURN_CODE handler_result(const std::vector<DEVICES_INFO> &rows) const
    {
        if (size < sizeof(DAT_FILE_HDR))
            return RC_BAD_READ;
        DAT_FILE_HDR header;
        memcpy(&header, bytes, sizeof header);
        if (memcmp(header.signature, DATA_FILE_SIGNATURE, DATA_FILE_SIGNATURE_SIZE) != 0)
            return RC_DATA_FILE_NOT_RECOGNIZED;
        if (header.version != DATA_FILE_VERSION)
            return RC_VERSION_NOT_SUPPORTED;
        const uint32_t covered = header.file_length - DATA_FILE_CRC_SIZE;
        if (covered == 0 || !readable(0, covered) || !readable(covered, DATA_FILE_CRC_SIZE) ||
            crc16(bytes, covered) != get_le16(bytes + covered))
            return RC_CRC_FAILED;
        if (size <= IMAGE_HEADERS_OFFSET)
            return RC_FAILED;
        if (header.image_count == 0 || !readable(IMAGE_HEADERS_OFFSET, header.image_count * sizeof(IMAGE_HDR)))
            return RC_BAD_READ;
        for (const DEVICES_INFO &row : rows) {
            if (row.status == DS_FOUND && bound_image_of(row.device_type, header.image_count) < 0)
                return RC_BAD_DATA;
        }
        return RC_SUCCESS;
    }

    int first_image_of(uint16_t device_type, int image_count) const
    {
        for (int i = 0; i < image_count; i++) {
            IMAGE_HDR image;
            memcpy(&image, bytes + IMAGE_HEADERS_OFFSET + i * sizeof(IMAGE_HDR), sizeof image);
            if (image.device_type == device_type)
                return i;
        }
        return -1;
    }

    // The image a found board is bound to: the first of its type, unless
    // that one carries the boot-block bit, which binds the board to none.
    int bound_image_of(uint16_t device_type, int image_count) const
    {
        const int first = first_image_of(device_type, image_count);
        if (first < 0 ||
            (bytes[IMAGE_HEADERS_OFFSET + first * sizeof(IMAGE_HDR) + offsetof(IMAGE_HDR, rev_major)] &
             BOOT_BLOCK_BIT) != 0)
            return -1;
        return first;
    }

    // Whether the transfer may start: the image's CRC holds, its first two
    // bytes carry its length, and all the bytes a board is sent are present.
    bool image_valid(const IMAGE_HDR &image) const
    {
        return (image.rev_major & BOOT_BLOCK_BIT) == 0 && image.image_length > 0 &&
            readable(image.data_offset, image.image_length) &&
            crc16(bytes + image.data_offset, image.image_length) == image.image_crc &&
            get_le16(bytes + image.data_offset) == static_cast<uint16_t>(image.image_length) &&
            readable(image.data_offset, TRANSFER_SIZE);
    }
};

// ---- the steps ------------------------------------------------------------

int data_file_descriptor = -1;
std::string data_file_path;

void write_data_file(const uint8_t *bytes, size_t size)
{
    FUZZ_CHECK(ftruncate(data_file_descriptor, 0) == 0, "cannot empty the data file");
    size_t written = 0;
    while (written < size) {
        ssize_t now = pwrite(data_file_descriptor, bytes + written, size - written, static_cast<off_t>(written));
        FUZZ_CHECK(now > 0, "cannot write the data file");
        written += static_cast<size_t>(now);
    }
}

// Makes CRC mismatches rare, so that mutations get past the checks to the
// parts behind them: every image CRC that can be computed, then the file CRC.
void reseal(std::vector<uint8_t> &file)
{
    datafile_kit::reseal_images(file);
    datafile_kit::reseal(file);
}

void check_handler(const FileModel &model, const std::vector<DEVICES_INFO> &before, const DEVICES_INFO *rows,
                   const DAT_FILE_INFO &info, RETURN_CODE code)
{
    RETURN_CODE expected = model.handler_result(before);
    FUZZ_CHECK(code == expected, "data file handler returned %d, expected %d", code, expected);
    // The kit takes a file exactly when the program does (board matching aside).
    const bool taken = code == RC_SUCCESS || code == RC_BAD_DATA;
    FUZZ_CHECK(kit_verdict.accepted == taken, "the kit %s a file the handler answered with %d",
               kit_verdict.accepted ? "accepts" : "refuses", code);
    if (model.size >= sizeof(DAT_FILE_HDR))
        FUZZ_CHECK(memcmp(&info.header, model.bytes, sizeof info.header) == 0, "the header copy differs from the file");

    // Rows are bound in table order until one found board has no image.
    const int image_count = info.header.image_count;
    bool matching = code == RC_SUCCESS || code == RC_BAD_DATA;
    for (uint16_t i = 0; i < const_glob_devices_count; i++) {
        const DEVICES_INFO &row = rows[i];
        const int match =
            matching && before[i].status == DS_FOUND ? model.bound_image_of(row.device_type, image_count) : -1;
        if (match < 0) {
            if (matching && before[i].status == DS_FOUND)
                matching = false;
            FUZZ_CHECK(row.status == before[i].status && row.image == before[i].image,
                       "row %u changed from status %d to %d", i, before[i].status, row.status);
            continue;
        }
        FUZZ_CHECK(row.status == DS_IMAGE_MATCHED, "row %u has status %d, expected image matched", i, row.status);
        FUZZ_CHECK(row.image == info.images + match, "row %u bound to image %td, expected %d", i,
                   row.image - info.images, match);
    }
    if (code != RC_SUCCESS)
        return;
    FUZZ_CHECK(memcmp(info.images, model.bytes + IMAGE_HEADERS_OFFSET, image_count * sizeof(IMAGE_HDR)) == 0,
               "image headers differ from the file");
    // The cursor stands right after the image headers.
    const uint32_t after = IMAGE_HEADERS_OFFSET + image_count * sizeof(IMAGE_HDR);
    uint8_t byte = 0;
    RETURN_CODE read = read_one_byte_from_data_file(&byte);
    if (after < model.size)
        FUZZ_CHECK(read == RC_SUCCESS && byte == model.bytes[after], "cursor not at %u after the image headers", after);
    else
        FUZZ_CHECK(read == RC_END_OF_DATA, "read %d past the end after the image headers", read);
}

// Seeks, reads and CRC checks against a model of the cursor that never passes
// the data length: every byte read must be the file's byte under the model
// cursor and every read at the end must fail, so a cursor that strays past
// the end, or anywhere else, shows in the next read.
void check_cursor(const FileModel &model, FuzzReader &settings)
{
    uint32_t cursor = 0;
    const bool rewound = seek_data_file(0) == RC_SUCCESS;
    FUZZ_CHECK(rewound == (model.size > 0), "seek to 0 of %u bytes gave %d", model.size, rewound);
    for (size_t step = 0; step < OPERATION_COUNT; step++) {
        const uint8_t operation = settings.byte();
        const uint32_t argument = operation >> 2;
        const uint32_t candidates[] = {0,
                                       model.size - 1,
                                       model.size,
                                       model.size + 1,
                                       static_cast<uint32_t>(uint64_t{argument} * model.size / 63),
                                       UINT32_MAX - argument};
        switch (operation & 3) {
        case 0: {
            const uint32_t target = candidates[argument % 6];
            RETURN_CODE code = seek_data_file(target);
            FUZZ_CHECK((code == RC_SUCCESS) == (target < model.size), "seek to %u of %u gave %d", target, model.size,
                       code);
            if (code == RC_SUCCESS)
                cursor = target;
            break;
        }
        case 1: {
            uint8_t byte = 0;
            RETURN_CODE code = read_one_byte_from_data_file(&byte);
            if (cursor < model.size) {
                FUZZ_CHECK(code == RC_SUCCESS && byte == model.bytes[cursor], "byte read at %u", cursor);
                cursor++;
            } else {
                FUZZ_CHECK(code == RC_END_OF_DATA && byte == FAILED_READ_BYTE, "byte read at the end gave %d", code);
            }
            break;
        }
        case 2: {
            std::vector<uint8_t> chunk(argument + 1, 0);
            RETURN_CODE code = read_data_file_chunk(chunk.data(), argument);
            const uint32_t available = model.size - cursor;
            const uint32_t taken = argument < available ? argument : available;
            FUZZ_CHECK((code == RC_SUCCESS) == (argument > 0 && argument <= available),
                       "chunk of %u with %u left gave %d", argument, available, code);
            FUZZ_CHECK(taken == 0 || memcmp(chunk.data(), model.bytes + cursor, taken) == 0,
                       "chunk bytes differ from the file");
            if (taken < argument)
                FUZZ_CHECK(chunk[taken] == FAILED_READ_BYTE, "the failing position holds %02x", chunk[taken]);
            cursor += taken;
            break;
        }
        default: {
            const uint32_t start = candidates[argument % 6];
            const uint32_t count = candidates[(argument / 6) % 6];
            const bool readable = count > 0 && model.readable(start, count);
            // Some valid stretches are checked against a wrong CRC.
            const bool wrong_crc = argument >= 36;
            const uint16_t crc = readable ? crc16(model.bytes + start, count) ^ wrong_crc : 0;
            RETURN_CODE code = check_datfile_segment_crc(start, count, crc);
            FUZZ_CHECK((code == RC_SUCCESS) == (readable && !wrong_crc), "CRC of %u bytes at %u of %u gave %d", count,
                       start, model.size, code);
            if (start < model.size)
                cursor = start + (count < model.size - start ? count : model.size - start);
            break;
        }
        }
    }
}

void configure_boards(FuzzReader &settings, const DEVICES_INFO *rows)
{
    const uint8_t behaviour = settings.byte();
    const uint16_t refused_chunk = settings.u16();
    const uint8_t erase_busy = settings.byte();
    platform = qrxsim::Platform{};
    watches = {};
    for (uint16_t i = 0; i < const_glob_devices_count; i++) {
        qrxsim::Board board;
        board.address = ADDRESSES[i];
        board.revision = {rows[i].cur_major, rows[i].cur_minor};
        // Each fault is rare enough that most cases flash to the end.
        const uint8_t faults = static_cast<uint8_t>(behaviour >> (i * 2));
        if ((faults & 3) == 1)
            board.unlock_refused =
                (erase_busy & 0x80) != 0 ? qrxsim::UnlockRefusal::both : qrxsim::UnlockRefusal::first;
        board.refuse_exit = (faults & 3) == 2;
        // The new firmware answers with the board's old revision.
        if ((faults & 3) == 3) {
            board.revision_after_flash_set = true;
            board.revision_after_flash = board.revision;
        }
        board.silent = (behaviour & 0xC0) == 0xC0 && i == 2;
        board.erase_busy = erase_busy & 0x7F;
        // One case in sixteen refuses a data command.
        board.refuse_chunk = (refused_chunk & 0xF) == 0 ? (refused_chunk >> 4) % (CHUNK_COUNT + 1) : 0;
        platform.boards.push_back(board);
    }
}

bool board_reaches_transfer(const qrxsim::Board &board)
{
    return !board.silent && board.unlock_refused != qrxsim::UnlockRefusal::both &&
        static_cast<unsigned>(board.erase_busy) < ERASE_ATTEMPTS;
}

// What flash_bp_fw must answer for a valid image on this board: after EXIT
// the board reports the revision its image carries at bytes 2 and 3, or the
// one it was told to keep.
RETURN_CODE expected_flash_result(const qrxsim::Board &board, const IMAGE_HDR &image, const FileModel &model)
{
    if (!board_reaches_transfer(board) || board.refuse_chunk != 0)
        return RC_FLASH_FAILED;
    if (board.refuse_exit)
        return RC_EXIT_FW_XFER_FAILED;
    const uint8_t major = board.revision_after_flash_set
        ? board.revision_after_flash.major
        : model.bytes[image.data_offset + SIM_IMAGE_REVISION_MAJOR_OFFSET];
    const uint8_t minor = board.revision_after_flash_set
        ? board.revision_after_flash.minor
        : model.bytes[image.data_offset + SIM_IMAGE_REVISION_MINOR_OFFSET];
    // A board back in its boot block failed, whatever else its revision bytes say.
    if ((major & BOOT_BLOCK_BIT) != 0 || major != image.rev_major || minor != image.rev_minor)
        return RC_FLASH_FAILED;
    return RC_SUCCESS;
}

void check_transfer(const FileModel &model, DAT_FILE_INFO &info, DEVICES_INFO &row, size_t index)
{
    const IMAGE_HDR image = *row.image;
    const size_t image_index = static_cast<size_t>(row.image - info.images);
    FUZZ_CHECK(image_index < kit_verdict.images.size() &&
                   kit_verdict.images[image_index].flashable == model.image_valid(image),
               "the kit and the transfer's checks disagree on image %zu", image_index);
    const RETURN_CODE code = flash_bp_fw(&info, &row);
    const qrxsim::Board &board = board_of(index);
    const Watch &watch = watches[index];

    if (!model.image_valid(image)) {
        FUZZ_CHECK(watch.unlock_requests == 0 && watch.data_requests == 0,
                   "board %02x was unlocked %u times and sent %u chunks for an image that fails validation",
                   board.address, watch.unlock_requests, watch.data_requests);
        FUZZ_CHECK(code == RC_FLASH_FAILED, "an invalid image flashed with result %d", code);
        return;
    }
    const RETURN_CODE expected = expected_flash_result(board, image, model);
    FUZZ_CHECK(code == expected, "flash of board %02x returned %d, expected %d", board.address, code, expected);
    if (!board_reaches_transfer(board)) {
        FUZZ_CHECK(watch.data_requests == 0, "%u chunks sent to a board that never finished its erase",
                   watch.data_requests);
        return;
    }
    if (board.refuse_chunk != 0) {
        FUZZ_CHECK(board.chunks_accepted == board.refuse_chunk - 1, "%d chunks taken before the refused one %d",
                   board.chunks_accepted, board.refuse_chunk);
        return;
    }
    // Transfer complete: the board holds the image, first two bytes replaced by the size sent.
    FUZZ_CHECK(watch.next_address == TRANSFER_END, "transfer ended at %04x, result %d", watch.next_address, code);
    FUZZ_CHECK(board.flash.size() == TRANSFER_SIZE, "the board's flash holds %zu bytes", board.flash.size());
    FUZZ_CHECK(board.flash[0] == (TRANSFER_SIZE & 0xFF) && board.flash[1] == (TRANSFER_SIZE >> 8),
               "first two bytes on the board are %02x %02x", board.flash[0], board.flash[1]);
    FUZZ_CHECK(memcmp(board.flash.data() + 2, model.bytes + image.data_offset + 2, TRANSFER_SIZE - 2) == 0,
               "the board holds other bytes than the image");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_report_stream();
    sim_link_load(play_platform);
    data_file_descriptor = memfd_create("fuzzed-data-file", 0);
    FUZZ_CHECK(data_file_descriptor >= 0, "no memory file for the data file");
    data_file_path = "/proc/self/fd/" + std::to_string(data_file_descriptor);
    // Quiet console: the fuzzer's speed is lost in printing.
    set_display_state(DISPLAY_XML);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < SETTINGS_SIZE)
        return 0;
    FuzzReader settings(data, SETTINGS_SIZE);
    std::vector<uint8_t> file(data + SETTINGS_SIZE, data + size);

    // The board table as discovery might have left it.
    auto *rows = new DEVICES_INFO[const_glob_devices_count];
    for (uint16_t i = 0; i < const_glob_devices_count; i++) {
        rows[i] = devices_information[i];
        const uint8_t status = settings.byte();
        const uint8_t type = settings.byte();
        const uint8_t revision = settings.byte();
        rows[i].status =
            (status & 3) == 3 ? static_cast<DEVICE_STATUS>((status >> 2) % (DS_FLASH_FAILED + 1)) : DS_FOUND;
        rows[i].device_type = (type & 0x80) ? (type & 0x7F) : BACKPLANE_DEVICE_TYPE;
        rows[i].cur_major = revision >> 4;
        rows[i].cur_minor = revision & 0xF;
        rows[i].image = nullptr;
    }
    configure_boards(settings, rows);
    if (settings.flag())
        reseal(file);
    const std::vector<DEVICES_INFO> before(rows, rows + const_glob_devices_count);

    file_handler_destructor();
    datahandler_destructor();
    file_handler_constructor();
    datahandler_constructor();
    write_data_file(file.data(), file.size());
    FileModel model{file.data(), static_cast<uint32_t>(file.size())};
    kit_verdict = datafile_kit::check(file);

    FUZZ_CHECK(load_data_file(data_file_path.c_str()) == RC_SUCCESS, "a readable file did not load");
    DAT_FILE_INFO info{};
    info.devices = rows;
    const RETURN_CODE code = data_file_handler(&info);
    check_handler(model, before, rows, info, code);

    if (code == RC_SUCCESS) {
        for (uint16_t i = 0; i < const_glob_devices_count; i++)
            if (before[i].status == DS_FOUND)
                check_transfer(model, info, rows[i], i);
    }
    check_cursor(model, settings);
    delete[] rows;
    return 0;
}
