// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the data file, from the loaded bytes to the board: load,
// header and CRC checks, image headers and image matching against a fuzzed
// board table, the read cursor under seeks and reads, and then the transfer of
// every matched image to a simulated board. Every step is checked against an
// independent model of the format; the board checks that nothing reaches it
// for an image that fails validation, and that what it is sent is the image.
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
#include "fake_platform.h"
#include "flash/bp_flash.h"
#include "flash/discovery.h"
#include "fuzz_check.h"
#include "ipmi/ipmi_commands.h"
#include "output/print.h"
#include "unlock_codes.h"

namespace {

// The fuzz input: a fixed-size setting block, then the data file itself.
constexpr size_t ROW_SETTINGS = 3;          // per board row: status, device type, revision
constexpr size_t BOARD_SETTINGS = 4;        // faults, refused chunk (2 bytes), erase length
constexpr size_t RESEAL_SETTING = 1;
constexpr size_t OPERATION_COUNT = 8;       // seeks and reads against the cursor model
constexpr size_t SETTINGS_SIZE =
    const_glob_devices_count * ROW_SETTINGS + BOARD_SETTINGS + RESEAL_SETTING + OPERATION_COUNT;

constexpr uint32_t TRANSFER_END = TRANSFER_BASE_ADDRESS + TRANSFER_SIZE;
constexpr size_t CHUNK_HEADER_SIZE = 2;
constexpr unsigned CHUNK_COUNT = (TRANSFER_SIZE + CHUNK_SIZE - 1) / CHUNK_SIZE;
// The erase wait polls 60 times with two attempts each.
constexpr unsigned ERASE_ATTEMPTS = 120;
constexpr uint8_t CC_TIMEOUT = 0xC3;
constexpr uint8_t FAILED_READ_BYTE = 0xFF;
constexpr uint8_t REVISION_MAJOR_MASK = 0x7F;
constexpr uint8_t ERASED = 0xE5;            // neither 0 nor 0xFF, so unwritten bytes stand out
constexpr uint32_t GET_DEVICE_ID_RESPONSE_LENGTH = 3 + DEVICE_ID_ANSWER_LENGTH;
constexpr uint32_t EMPTY_RESPONSE_LENGTH = 3;
constexpr uint8_t ADDRESSES[const_glob_devices_count] = {0xC0, 0xC2, 0xC4};

// CRC-16/ARC one bit at a time, independent of the program's table.
uint16_t reference_crc(const uint8_t *bytes, size_t count)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < count; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

uint16_t read_u16(const uint8_t *bytes)
{
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t read_u32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(read_u16(bytes)) | (static_cast<uint32_t>(read_u16(bytes + 2)) << 16);
}

void write_u16(uint8_t *bytes, uint16_t value)
{
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

// ---- the simulated boards -------------------------------------------------

struct Board {
    uint8_t address = 0;
    bool silent = false;
    bool refuse_unlock = false;
    bool refuse_alternate_unlock = false;
    unsigned erase_busy_polls = 0;
    unsigned refused_chunk = 0;         // 1-based data command refused on every attempt; 0: none
    bool refuse_exit = false;
    bool keep_old_revision = false;
    uint8_t major = 0;
    uint8_t minor = 0;

    // What happened to it.
    bool unlocked = false;
    bool exited = false;
    unsigned erase_polls_left = 0;
    unsigned unlock_requests = 0;
    unsigned data_commands = 0;          // accepted ones
    unsigned data_requests = 0;          // every attempt
    uint32_t next_address = TRANSFER_BASE_ADDRESS;
    std::array<uint8_t, TRANSFER_END> memory{};
    const IMAGE_HDR *flashed_image = nullptr;
};

std::array<Board, const_glob_devices_count> boards;

Board *board_at(uint8_t address)
{
    for (Board &board : boards)
        if (board.address == address)
            return &board;
    return nullptr;
}

bool matches_code(const uint8_t *data, const char (&code)[UNLOCK_CODE_LENGTH])
{
    return memcmp(data, code, UNLOCK_CODE_LENGTH) == 0;
}

// One exchange as a board behind the BMC answers it; false: no answer.
bool board_answer(Board &board, const HAPI_IPMI_PACKET &request, HAPI_IPMI_PACKET &response)
{
    static constexpr char UNLOCK[UNLOCK_CODE_LENGTH] = {UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3, UNLOCK_CODE_4};
    static constexpr char ALTERNATE[UNLOCK_CODE_LENGTH] = {ALT_UNLOCK_CODE_1, ALT_UNLOCK_CODE_2, ALT_UNLOCK_CODE_3,
                                                           ALT_UNLOCK_CODE_4};
    const uint32_t request_bytes = request.data_length - CHUNK_HEADER_SIZE;
    auto *answer = reinterpret_cast<uint8_t *>(&response) + HAPI_RESPONSE_DATA_OFFSET;
    response.response_length = EMPTY_RESPONSE_LENGTH;
    if (board.silent)
        return false;

    if (request.netfn == NETFN_APP && request.command == CMD_GET_DEVICE_ID) {
        if (board.erase_polls_left > 0) {
            // The BMC carries the poll out; the erasing board leaves it unanswered.
            board.erase_polls_left--;
            reinterpret_cast<uint8_t *>(&response)[HAPI_COMPLETION_CODE_OFFSET] = CC_TIMEOUT;
            return true;
        }
        response.response_length = GET_DEVICE_ID_RESPONSE_LENGTH;
        uint8_t major = board.major;
        uint8_t minor = board.minor;
        if (board.exited && board.flashed_image != nullptr && !board.keep_old_revision) {
            major = board.flashed_image->rev_major;
            minor = board.flashed_image->rev_minor;
        }
        answer[DEVICE_ID_FW_REVISION_1] = major;
        answer[DEVICE_ID_FW_REVISION_2] = minor;
        return true;
    }
    FUZZ_CHECK(request.netfn == NETFN_FIRMWARE, "board %02x got network function %02x", board.address, request.netfn);
    switch (request.command) {
    case CMD_ENTER_FW_XFER:
        board.unlock_requests++;
        FUZZ_CHECK(request_bytes == UNLOCK_CODE_LENGTH, "unlock request of %u bytes", request_bytes);
        if ((matches_code(request.data, UNLOCK) && !board.refuse_unlock) ||
            (matches_code(request.data, ALTERNATE) && !board.refuse_alternate_unlock)) {
            board.unlocked = true;
            board.exited = false;
            board.erase_polls_left = board.erase_busy_polls;
            board.next_address = TRANSFER_BASE_ADDRESS;
            board.memory.fill(ERASED);
            return true;
        }
        return false;
    case CMD_FW_DATA: {
        board.data_requests++;
        FUZZ_CHECK(board.unlocked, "data sent to board %02x outside transfer mode", board.address);
        FUZZ_CHECK(request_bytes > CHUNK_HEADER_SIZE && request_bytes <= CHUNK_HEADER_SIZE + CHUNK_SIZE,
                   "data command of %u bytes", request_bytes);
        const uint32_t address = read_u16(request.data);
        const uint32_t count = request_bytes - CHUNK_HEADER_SIZE;
        FUZZ_CHECK(address == board.next_address, "chunk for %04x, the next address is %04x", address,
                   board.next_address);
        FUZZ_CHECK(address + count <= TRANSFER_END, "chunk at %04x of %u bytes runs past %04x", address, count,
                   TRANSFER_END);
        if (board.refused_chunk == board.data_commands + 1)
            return false;
        memcpy(&board.memory[address], request.data + CHUNK_HEADER_SIZE, count);
        board.next_address = address + count;
        board.data_commands++;
        return true;
    }
    case CMD_EXIT_FW_XFER:
        if (board.refuse_exit)
            return false;
        board.exited = board.unlocked;
        board.unlocked = false;
        return true;
    default:
        FUZZ_CHECK(false, "board %02x got unknown firmware command %02x", board.address, request.command);
    }
    return false;
}

uint16_t play_platform(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    memset(response, 0, sizeof *response);
    Board *board = board_at(request->slave_address);
    FUZZ_CHECK(board != nullptr, "request to %02x, which is no board of the table", request->slave_address);
    return board_answer(*board, *request, *response) ? 1 : 0;
}

// ---- the model of the data file -------------------------------------------

struct FileModel {
    const uint8_t *bytes;
    uint32_t size;

    bool readable(uint32_t start, uint32_t count) const
    {
        return start < size && count <= size - start;
    }

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
            reference_crc(bytes, covered) != read_u16(bytes + covered))
            return RC_CRC_FAILED;
        if (size <= IMAGE_HEADERS_OFFSET)
            return RC_FAILED;
        if (header.image_count == 0 || !readable(IMAGE_HEADERS_OFFSET, header.image_count * sizeof(IMAGE_HDR)))
            return RC_BAD_READ;
        for (const DEVICES_INFO &row : rows) {
            if (row.status == DS_FOUND && first_image_of(row.device_type, header.image_count) < 0)
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

    // Whether the transfer may start: the image's CRC holds, its first two
    // bytes carry its length, and all the bytes a board is sent are present.
    bool image_valid(const IMAGE_HDR &image) const
    {
        return image.image_length > 0 && readable(image.data_offset, image.image_length) &&
               reference_crc(bytes + image.data_offset, image.image_length) == image.image_crc &&
               read_u16(bytes + image.data_offset) == static_cast<uint16_t>(image.image_length) &&
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
    FileModel model{file.data(), static_cast<uint32_t>(file.size())};
    if (file.size() < sizeof(DAT_FILE_HDR))
        return;
    const uint8_t count = file[offsetof(DAT_FILE_HDR, image_count)];
    for (size_t i = 0; i < count; i++) {
        const size_t at = IMAGE_HEADERS_OFFSET + i * sizeof(IMAGE_HDR);
        if (at + sizeof(IMAGE_HDR) > file.size())
            break;
        IMAGE_HDR image;
        memcpy(&image, &file[at], sizeof image);
        if (image.image_length > 0 && model.readable(image.data_offset, image.image_length))
            write_u16(&file[at + offsetof(IMAGE_HDR, image_crc)],
                      reference_crc(&file[image.data_offset], image.image_length));
    }
    const uint32_t covered = read_u32(&file[offsetof(DAT_FILE_HDR, file_length)]) - DATA_FILE_CRC_SIZE;
    if (covered > 0 && model.readable(covered, DATA_FILE_CRC_SIZE))
        write_u16(&file[covered], reference_crc(file.data(), covered));
}

void check_handler(const FileModel &model, const std::vector<DEVICES_INFO> &before, const DEVICES_INFO *rows,
                   const DAT_FILE_INFO &info, RETURN_CODE code)
{
    RETURN_CODE expected = model.handler_result(before);
    FUZZ_CHECK(code == expected, "data file handler returned %d, expected %d", code, expected);
    if (model.size >= sizeof(DAT_FILE_HDR))
        FUZZ_CHECK(memcmp(&info.header, model.bytes, sizeof info.header) == 0, "the header copy differs from the file");

    // Rows are bound in table order until one found board has no image.
    const int image_count = info.header.image_count;
    bool matching = code == RC_SUCCESS || code == RC_BAD_DATA;
    for (uint16_t i = 0; i < const_glob_devices_count; i++) {
        const DEVICES_INFO &row = rows[i];
        const int match = matching && before[i].status == DS_FOUND ? model.first_image_of(row.device_type, image_count)
                                                                  : -1;
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
        const uint32_t candidates[] = {0, model.size - 1, model.size, model.size + 1,
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
            const uint16_t crc = readable ? reference_crc(model.bytes + start, count) ^ wrong_crc : 0;
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

void configure_boards(FuzzReader &settings)
{
    const uint8_t behaviour = settings.byte();
    const uint16_t refused_chunk = settings.u16();
    const uint8_t erase_busy = settings.byte();
    for (uint16_t i = 0; i < const_glob_devices_count; i++) {
        Board &board = boards[i];
        board = Board{};
        board.address = ADDRESSES[i];
        // Each fault is rare enough that most cases flash to the end.
        const uint8_t faults = static_cast<uint8_t>(behaviour >> (i * 2));
        board.refuse_unlock = (faults & 3) == 1;
        board.refuse_alternate_unlock = (faults & 3) == 1 && (erase_busy & 0x80) != 0;
        board.refuse_exit = (faults & 3) == 2;
        board.keep_old_revision = (faults & 3) == 3;
        board.silent = (behaviour & 0xC0) == 0xC0 && i == 2;
        board.erase_busy_polls = erase_busy & 0x7F;
        // One case in sixteen refuses a data command.
        board.refused_chunk = (refused_chunk & 0xF) == 0 ? (refused_chunk >> 4) % (CHUNK_COUNT + 1) : 0;
    }
}

bool board_reaches_transfer(const Board &board)
{
    return !board.silent && !(board.refuse_unlock && board.refuse_alternate_unlock) &&
           board.erase_busy_polls < ERASE_ATTEMPTS;
}

// What flash_bp_fw must answer for a valid image on this board.
RETURN_CODE expected_flash_result(const Board &board, const IMAGE_HDR &image)
{
    if (!board_reaches_transfer(board) || board.refused_chunk != 0)
        return RC_FLASH_FAILED;
    if (board.refuse_exit)
        return RC_EXIT_FW_XFER_FAILED;
    if (board.keep_old_revision &&
        (((board.major ^ image.rev_major) & REVISION_MAJOR_MASK) != 0 || board.minor != image.rev_minor))
        return RC_FLASH_FAILED;
    return RC_SUCCESS;
}

void check_transfer(const FileModel &model, DAT_FILE_INFO &info, DEVICES_INFO &row, Board &board)
{
    const IMAGE_HDR image = *row.image;
    board.flashed_image = row.image;
    const RETURN_CODE code = flash_bp_fw(&info, &row);

    if (!model.image_valid(image)) {
        FUZZ_CHECK(board.unlock_requests == 0 && board.data_requests == 0,
                   "board %02x was unlocked %u times and sent %u chunks for an image that fails validation",
                   board.address, board.unlock_requests, board.data_requests);
        FUZZ_CHECK(code == RC_FLASH_FAILED, "an invalid image flashed with result %d", code);
        return;
    }
    const RETURN_CODE expected = expected_flash_result(board, image);
    FUZZ_CHECK(code == expected, "flash of board %02x returned %d, expected %d", board.address, code, expected);
    if (!board_reaches_transfer(board)) {
        FUZZ_CHECK(board.data_requests == 0, "%u chunks sent to a board that never finished its erase",
                   board.data_requests);
        return;
    }
    if (board.refused_chunk != 0) {
        FUZZ_CHECK(board.data_commands == board.refused_chunk - 1, "%u chunks taken before the refused one %u",
                   board.data_commands, board.refused_chunk);
        return;
    }
    // Transfer complete: the board holds the image, first two bytes replaced by the size sent.
    FUZZ_CHECK(board.next_address == TRANSFER_END, "transfer ended at %04x, result %d", board.next_address, code);
    FUZZ_CHECK(board.memory[TRANSFER_BASE_ADDRESS] == (TRANSFER_SIZE & 0xFF) &&
                   board.memory[TRANSFER_BASE_ADDRESS + 1] == (TRANSFER_SIZE >> 8),
               "first two bytes on the board are %02x %02x", board.memory[TRANSFER_BASE_ADDRESS],
               board.memory[TRANSFER_BASE_ADDRESS + 1]);
    FUZZ_CHECK(memcmp(&board.memory[TRANSFER_BASE_ADDRESS + 2], model.bytes + image.data_offset + 2,
                      TRANSFER_SIZE - 2) == 0,
               "the board holds other bytes than the image");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_report_stream();
    fake_platform_load(play_platform);
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
        rows[i].status = (status & 3) == 3 ? static_cast<DEVICE_STATUS>((status >> 2) % (DS_FLASH_FAILED + 1))
                                           : DS_FOUND;
        rows[i].device_type = (type & 0x80) ? (type & 0x7F) : BACKPLANE_DEVICE_TYPE;
        rows[i].cur_major = revision >> 4;
        rows[i].cur_minor = revision & 0xF;
        rows[i].image = nullptr;
    }
    configure_boards(settings);
    for (uint16_t i = 0; i < const_glob_devices_count; i++) {
        boards[i].major = rows[i].cur_major;
        boards[i].minor = rows[i].cur_minor;
    }
    if (settings.flag())
        reseal(file);
    const std::vector<DEVICES_INFO> before(rows, rows + const_glob_devices_count);

    file_handler_destructor();
    datahandler_destructor();
    file_handler_constructor();
    datahandler_constructor();
    write_data_file(file.data(), file.size());
    FileModel model{file.data(), static_cast<uint32_t>(file.size())};

    FUZZ_CHECK(load_data_file(data_file_path.c_str()) == RC_SUCCESS, "a readable file did not load");
    DAT_FILE_INFO info{};
    info.devices = rows;
    const RETURN_CODE code = data_file_handler(&info);
    check_handler(model, before, rows, info, code);

    if (code == RC_SUCCESS) {
        for (uint16_t i = 0; i < const_glob_devices_count; i++)
            if (before[i].status == DS_FOUND)
                check_transfer(model, info, rows[i], boards[i]);
    }
    check_cursor(model, settings);
    delete[] rows;
    return 0;
}
