// SPDX-License-Identifier: GPL-3.0-or-later
// The backplane transfer through the real transport into the one board
// model: what the board receives, the order and shape of the commands, the
// waits, the console lines, and every failure with its result and messages.
#include <gtest/gtest.h>

#include "crc_oracle.h"
#include "datafile_kit.h"
#include "flash/bp_flash.h"
#include "model_link.h"
#include "unlock_codes.h"

#include "datafile/file_handler.h"
#include "datafile/proc_crc.h"
#include "output/print.h"

namespace {

using model_link::sent;

constexpr uint8_t BOARD = 0xC0;
// The revision the test image carries where a board reads it.
constexpr uint8_t IMAGE_MAJOR = 1;
constexpr uint8_t IMAGE_MINOR = 0x06;
constexpr uint32_t IMAGE_OFFSET = 100;
constexpr size_t CHUNKS = (TRANSFER_SIZE + CHUNK_SIZE - 1) / CHUNK_SIZE;
const std::string CLEAR = "\r" + std::string(74, ' ') + "\r";

std::string progress_lines(int from, int to)
{
    std::string text;
    for (int percent = from; percent <= to; percent++)
        text += "\r   Flash " + std::to_string(percent) + "% Completed";
    return text;
}

const std::string ERASE_DONE_AFTER_ONE_POLL = "\r   Erasing ..completed";
const std::string SUCCESS_TAIL =
    CLEAR + "\r   Flash Completed\n\r   Checking Revision " + CLEAR + "\r   Checking Revision completed\n";

uint16_t crc_of(const std::vector<uint8_t> &bytes, size_t start, size_t count)
{
    return oracle::crc16_arc(bytes.data() + start, count);
}

class BpFlash : public ::testing::Test {
protected:
    DEVICES_INFO row{};
    IMAGE_HDR image{};
    std::vector<uint8_t> file;
    std::string out;
    std::string err;

    void SetUp() override
    {
        model_link::start();
        // One poll of two attempts goes unanswered while the board erases.
        model_link::add_board(BOARD).revision = {0x01, 0x05};
        print_constructor();
        file_handler_destructor();
        file_handler_constructor();
        row.slave_address = BOARD;
        row.device_type = BACKPLANE_DEVICE_TYPE;
        row.status = DS_TO_FLASH;
        strcpy(row.name, "Primary Backplane");
        row.image = &image;
        use_image(TRANSFER_SIZE, TRANSFER_SIZE);
    }

    void TearDown() override { file_handler_destructor(); }

    // An image of `length` bytes, followed in the file by enough bytes to
    // make `available` bytes from its first one; it carries its revision
    // where a board reads it.
    void use_image(uint32_t length, uint32_t available)
    {
        file.assign(IMAGE_OFFSET, 0x11);
        const datafile_kit::Bytes data = datafile_kit::simulated_image(std::max(length, available), IMAGE_MAJOR,
                                                                       IMAGE_MINOR, datafile_kit::SIM_REVISION_OFFSET);
        file.insert(file.end(), data.begin(), data.end());
        file[IMAGE_OFFSET] = static_cast<uint8_t>(length & 0xFF);
        file[IMAGE_OFFSET + 1] = static_cast<uint8_t>((length >> 8) & 0xFF);
        image.device_type = BACKPLANE_DEVICE_TYPE;
        image.rev_major = IMAGE_MAJOR;
        image.rev_minor = IMAGE_MINOR;
        image.image_length = length;
        image.data_offset = IMAGE_OFFSET;
        image.image_crc = crc_of(file, IMAGE_OFFSET, length);
    }

    RETURN_CODE flash()
    {
        std::string path = model_link::write_temp_file(file);
        testing::internal::CaptureStdout();
        EXPECT_EQ(load_data_file(path.c_str()), RC_SUCCESS);
        testing::internal::GetCapturedStdout();
        unlink(path.c_str());
        sent.clear();
        seams::reset();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        RETURN_CODE result = flash_bp_fw(nullptr, &row);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    qrxsim::Board &board() { return model_link::board_at(BOARD); }
    size_t count(uint8_t netfn, uint8_t command) const { return model_link::sent_to(BOARD, netfn, command).size(); }

    // How many of the waits lasted `milliseconds`.
    static size_t waits_of(unsigned milliseconds)
    {
        return static_cast<size_t>(std::count(seams::sleeps_us.begin(), seams::sleeps_us.end(), milliseconds * 1000));
    }

    // The board's flash, by board address.
    uint8_t at(uint32_t address) { return board().flash.at(address - TRANSFER_BASE_ADDRESS); }

    // After the flash the board answers with this revision instead of the image's.
    void report_after_flash(uint8_t major, uint8_t minor)
    {
        board().revision_after_flash_set = true;
        board().revision_after_flash = {major, minor};
    }

    // The next `reads` Get Device IDs after the first `passed` go unanswered.
    void silence_reads(int passed, int reads)
    {
        qrxsim::Fault fault;
        fault.target = BOARD;
        fault.netfn = NETFN_APP;
        fault.command = CMD_GET_DEVICE_ID;
        fault.completion_code = qrxsim::CC_TIMEOUT;
        fault.remaining = reads;
        fault.pass_first = passed;
        model_link::platform.faults.push_back(fault);
    }
};

// Get Device ID requests before the revision check: the one before the
// flash and the three of the erase wait (two unanswered, one answered).
constexpr int READS_BEFORE_EXIT = 4;
constexpr int DEVICE_ID_ATTEMPTS = 5;

TEST_F(BpFlash, writes_the_whole_image_and_verifies_the_new_revision)
{
    ASSERT_EQ(flash(), RC_SUCCESS);

    EXPECT_EQ(out, ERASE_DONE_AFTER_ONE_POLL + CLEAR + progress_lines(1, 100) + SUCCESS_TAIL);
    EXPECT_EQ(err, "");
    // The row keeps the revision read just before the flash.
    EXPECT_EQ(row.cur_major, 1);
    EXPECT_EQ(row.cur_minor, 0x05);

    // The board holds the image, its first two bytes the size it was sent.
    EXPECT_EQ(at(TRANSFER_BASE_ADDRESS), 0x00);
    EXPECT_EQ(at(TRANSFER_BASE_ADDRESS + 1), 0xB0);
    for (uint32_t i = 2; i < TRANSFER_SIZE; i++)
        ASSERT_EQ(at(TRANSFER_BASE_ADDRESS + i), file[IMAGE_OFFSET + i]) << "board address " << i;
    EXPECT_EQ(board().revision.major, IMAGE_MAJOR);
    EXPECT_EQ(board().revision.minor, IMAGE_MINOR);

    // Get Device ID, unlock, the erase poll's two unanswered attempts and the
    // answered one, the chunks, exit, revision read.
    ASSERT_EQ(sent.size(), 1 + 1 + 3 + CHUNKS + 1 + 1);
    EXPECT_EQ(sent[0].netfn, NETFN_APP);
    EXPECT_EQ(sent[0].command, CMD_GET_DEVICE_ID);
    EXPECT_EQ(sent[1].command, CMD_ENTER_FW_XFER);
    EXPECT_EQ(std::string(sent[1].data.begin(), sent[1].data.end()),
              std::string({UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3, UNLOCK_CODE_4}));
    for (int poll : {2, 3, 4})
        EXPECT_EQ(sent[poll].command, CMD_GET_DEVICE_ID);
    uint16_t expected_address = TRANSFER_BASE_ADDRESS;
    for (size_t i = 0; i < CHUNKS; i++) {
        const model_link::Sent &chunk = sent[5 + i];
        ASSERT_EQ(chunk.netfn, NETFN_FIRMWARE);
        ASSERT_EQ(chunk.command, CMD_FW_DATA);
        ASSERT_EQ(chunk.data[0] | (chunk.data[1] << 8), expected_address) << "chunk " << i;
        expected_address = static_cast<uint16_t>(expected_address + chunk.data.size() - 2);
    }
    const model_link::Sent &last_chunk = sent[5 + CHUNKS - 1];
    EXPECT_EQ(last_chunk.data.size(), 18u);
    EXPECT_EQ(last_chunk.data[0], 0xF0);
    EXPECT_EQ(last_chunk.data[1], 0xBF);
    EXPECT_EQ(sent[5 + CHUNKS].command, CMD_EXIT_FW_XFER);
    EXPECT_EQ(sent[6 + CHUNKS].command, CMD_GET_DEVICE_ID);
    // The erase settles 5 s; each unanswered poll attempt waits 10 ms, the
    // failed poll 1 s; the new firmware gets 5 s to boot.
    EXPECT_EQ(seams::sleeps_us, (std::vector<unsigned>{5000000, 10000, 10000, 1000000, 5000000}));
}

TEST_F(BpFlash, short_image_is_sent_as_full_range_with_patched_length)
{
    constexpr uint32_t length = 0x8000;
    use_image(length, TRANSFER_SIZE);
    ASSERT_EQ(flash(), RC_SUCCESS);
    EXPECT_EQ(at(TRANSFER_BASE_ADDRESS), 0x00);
    EXPECT_EQ(at(TRANSFER_BASE_ADDRESS + 1), 0xB0);
    // The bytes after the image run on into whatever follows it in the file.
    for (uint32_t i = 2; i < TRANSFER_SIZE; i++)
        ASSERT_EQ(at(TRANSFER_BASE_ADDRESS + i), file[IMAGE_OFFSET + i]);
}

TEST_F(BpFlash, alternate_unlock_code_is_tried_silently)
{
    board().unlock_refused = qrxsim::UnlockRefusal::first;
    ASSERT_EQ(flash(), RC_SUCCESS);
    auto unlocks = model_link::sent_to(BOARD, NETFN_FIRMWARE, CMD_ENTER_FW_XFER);
    // The first code refused on each of its five attempts, the second taken at once.
    ASSERT_EQ(unlocks.size(), 6u);
    EXPECT_EQ(std::string(unlocks[4].data.begin(), unlocks[4].data.end()),
              std::string({UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3, UNLOCK_CODE_4}));
    EXPECT_EQ(std::string(unlocks[5].data.begin(), unlocks[5].data.end()),
              std::string({ALT_UNLOCK_CODE_1, ALT_UNLOCK_CODE_2, ALT_UNLOCK_CODE_3, ALT_UNLOCK_CODE_4}));
    EXPECT_EQ(out, ERASE_DONE_AFTER_ONE_POLL + CLEAR + progress_lines(1, 100) + SUCCESS_TAIL);
}

TEST_F(BpFlash, revision_check_retries_three_times)
{
    silence_reads(READS_BEFORE_EXIT, 3 * DEVICE_ID_ATTEMPTS);
    ASSERT_EQ(flash(), RC_SUCCESS);
    EXPECT_EQ(out,
              ERASE_DONE_AFTER_ONE_POLL + CLEAR + progress_lines(1, 100) + CLEAR +
                  "\r   Flash Completed\n\r   Checking Revision ..." + CLEAR + "\r   Checking Revision completed\n");
    EXPECT_EQ(model_link::module_waits_ms(), (std::vector<unsigned>{5000, 1000, 5000, 500, 500, 500}));
    EXPECT_EQ(count(NETFN_APP, CMD_GET_DEVICE_ID), READS_BEFORE_EXIT + 3u * DEVICE_ID_ATTEMPTS + 1u);
}

TEST_F(BpFlash, erase_dots_start_over_after_the_thirty_first_poll)
{
    board().erase_busy = 40 * 2;  // 40 polls of two attempts
    ASSERT_EQ(flash(), RC_SUCCESS);
    EXPECT_EQ(out.substr(0, out.find("completed")),
              "\r   Erasing " + std::string(31, '.') + CLEAR + "\r   Erasing " + std::string(10, '.'));
}

// Progress after a refused chunk: the step runs whether or not the send worked.
TEST_F(BpFlash, percentage_is_shown_only_when_it_grows)
{
    struct Case {
        int refused_chunk;
        std::string progress;
    };
    // 460 bytes (23 chunks) are the first 1%; the first chunk never shows one.
    for (const Case &c : {Case{1, ""}, Case{22, ""}, Case{23, progress_lines(1, 1)},
                          Case{static_cast<int>(CHUNKS), progress_lines(1, 100)}}) {
        SetUp();
        board().refuse_chunk = c.refused_chunk;
        EXPECT_EQ(flash(), RC_FLASH_FAILED);
        EXPECT_EQ(out, ERASE_DONE_AFTER_ONE_POLL + CLEAR + c.progress) << "chunk " << c.refused_chunk;
        EXPECT_EQ(err, "\n   Flash Failed\n");
        EXPECT_EQ(board().chunks_accepted, c.refused_chunk - 1);
        // The refused chunk was tried 60 times, with a 20 ms wait after each.
        EXPECT_EQ(count(NETFN_FIRMWARE, CMD_FW_DATA), c.refused_chunk - 1 + 60u);
        EXPECT_EQ(waits_of(20), 60u);
        EXPECT_EQ(count(NETFN_FIRMWARE, CMD_EXIT_FW_XFER), 1u);
    }
}

struct FailureCase {
    const char *name;
    void (*arrange)(qrxsim::Board &board, IMAGE_HDR &image, BpFlash &test);
    RETURN_CODE result;
    const char *debug_step;  // the step's debug line, or none
    std::string error_text;
    size_t unlocks_sent;
    size_t exits_sent;
};

void PrintTo(const FailureCase &c, std::ostream *os)
{
    *os << c.name;
}

class BpFlashFailure : public BpFlash, public ::testing::WithParamInterface<FailureCase> {
public:
    void shorten_file(uint32_t available) { use_image(0x100, available); }
};

TEST_P(BpFlashFailure, reports_and_returns_as_specified)
{
    const FailureCase &c = GetParam();
    set_display_state(DISPLAY_DEBUG);
    c.arrange(board(), image, *this);
    EXPECT_EQ(flash(), c.result);
    EXPECT_EQ(err, c.error_text);
    if (c.debug_step != nullptr) {
        EXPECT_NE(out.find(c.debug_step), std::string::npos) << out;
    }
    if (c.result == RC_FLASH_FAILED && c.error_text.find("Flash Failed") != std::string::npos) {
        EXPECT_EQ(out.substr(out.size() - 26), "\r   ERROR while Flashing \n");
    }
    EXPECT_EQ(count(NETFN_FIRMWARE, CMD_ENTER_FW_XFER), c.unlocks_sent);
    EXPECT_EQ(count(NETFN_FIRMWARE, CMD_EXIT_FW_XFER), c.exits_sent);
    // Get Device ID, the unlock codes and EXIT wait 200 ms after each refused
    // attempt; whatever else was refused (the erase polls) waits otherwise.
    const size_t refused_unlocks = c.unlocks_sent > 1 ? c.unlocks_sent : 0;
    const size_t refused_exits = c.exits_sent > 1 ? c.exits_sent : 0;
    // Silent before the flash: one read; after it: the four reads of the revision check.
    const size_t refused_reads = board().silent_after_flash ? 4 * DEVICE_ID_ATTEMPTS
        : board().silent                                    ? DEVICE_ID_ATTEMPTS
                                                            : 0;
    EXPECT_EQ(waits_of(200), refused_unlocks + refused_exits + refused_reads);
    // Nothing reaches the board unless it was unlocked.
    if (c.unlocks_sent == 0) {
        EXPECT_EQ(count(NETFN_FIRMWARE, CMD_FW_DATA), 0u);
        EXPECT_FALSE(board().flash_touched) << "nothing erased";
    }
}

const std::string FLASH_FAILED = "\n   Flash Failed\n";

INSTANTIATE_TEST_SUITE_P(
    EveryRow, BpFlashFailure,
    ::testing::Values(
        // Each command is tried its full number of times: five for Get Device
        // ID and for either unlock code, EXIT included.
        FailureCase{"board_silent_before_flash", [](qrxsim::Board &b, IMAGE_HDR &, BpFlash &) { b.silent = true; },
                    RC_FLASH_FAILED, "\r   GET_DEVICE_ID ERROR while Flashing \n", FLASH_FAILED, 0, 5},
        FailureCase{"both_unlock_codes_refused",
                    [](qrxsim::Board &b, IMAGE_HDR &, BpFlash &) { b.unlock_refused = qrxsim::UnlockRefusal::both; },
                    RC_FLASH_FAILED, "\r   ENTER_FW_XFER ERROR while Flashing \n", FLASH_FAILED, 10, 5},
        FailureCase{"erase_never_ends",
                    [](qrxsim::Board &b, IMAGE_HDR &, BpFlash &) { b.erase_busy = qrxsim::ERASE_FOREVER; },
                    RC_FLASH_FAILED, "\r   ENTER_FW_XFER ERROR while Flashing \n", FLASH_FAILED, 1, 1},
        FailureCase{"image_crc_mismatch", [](qrxsim::Board &, IMAGE_HDR &i, BpFlash &) { i.image_crc ^= 1; },
                    RC_FLASH_FAILED, nullptr, "\r   Image corruption occured \n" + FLASH_FAILED, 0, 5},
        // Bit 7 is the boot block's report, never a revision to flash.
        FailureCase{"image_major_carries_boot_block_bit",
                    [](qrxsim::Board &, IMAGE_HDR &i, BpFlash &) { i.rev_major |= BOOT_BLOCK_BIT; }, RC_FLASH_FAILED,
                    nullptr, FLASH_FAILED, 0, 5},
        // The stated length no longer covers what the CRC was taken over.
        FailureCase{"stated_length_one_short", [](qrxsim::Board &, IMAGE_HDR &i, BpFlash &) { i.image_length -= 1; },
                    RC_FLASH_FAILED, nullptr, "\r   Image corruption occured \n" + FLASH_FAILED, 0, 5},
        FailureCase{"file_ends_before_the_transfer_range",
                    [](qrxsim::Board &, IMAGE_HDR &, BpFlash &t) {
                        static_cast<BpFlashFailure &>(t).shorten_file(TRANSFER_SIZE - 1);
                    },
                    RC_FLASH_FAILED, nullptr, FLASH_FAILED, 0, 5},
        FailureCase{"exit_refused", [](qrxsim::Board &b, IMAGE_HDR &, BpFlash &) { b.refuse_exit = true; },
                    RC_EXIT_FW_XFER_FAILED, "\r   Flash Completed\n\r   EXIT_FW_XFER ERROR while Flashing \n", "", 1,
                    5},
        FailureCase{"silent_after_flash", [](qrxsim::Board &b, IMAGE_HDR &, BpFlash &) { b.silent_after_flash = true; },
                    RC_FLASH_FAILED, nullptr, "\r   Revision Check Failed \n", 1, 1},
        FailureCase{"other_revision_after_flash",
                    [](qrxsim::Board &b, IMAGE_HDR &, BpFlash &) {
                        b.revision_after_flash_set = true;
                        b.revision_after_flash = b.revision;
                    },
                    RC_FLASH_FAILED, nullptr, "\r   Revision Check Failed    \n", 1, 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BpFlash, image_with_marker_but_wrong_length_field_is_refused_before_unlock)
{
    // The CRC covers the stated length, so a wrong marker with a matching CRC
    // is caught by the marker check alone.
    use_image(0x200, TRANSFER_SIZE);
    file[IMAGE_OFFSET] = 0x01;
    image.image_crc = crc_of(file, IMAGE_OFFSET, 0x200);
    EXPECT_EQ(flash(), RC_FLASH_FAILED);
    EXPECT_EQ(err, "\n   Flash Failed\n");
    EXPECT_EQ(count(NETFN_FIRMWARE, CMD_ENTER_FW_XFER), 0u);
}

TEST_F(BpFlash, revision_check_fails_a_board_back_in_its_boot_block)
{
    struct Case {
        uint8_t reported_major, reported_minor;  // what the new firmware answers
        uint8_t image_major, image_minor;        // what the image header says
        bool accepted;
    };
    for (const Case &c :
         {Case{0x01, 0x06, 0x01, 0x06, true}, Case{0x81, 0x06, 0x01, 0x06, false}, Case{0x02, 0x06, 0x01, 0x06, false},
          Case{0x01, 0x07, 0x01, 0x06, false}, Case{0x81, 0x16, 0x01, 0x06, false}, Case{0x00, 0x07, 0x00, 0x07, true},
          Case{0x80, 0x07, 0x00, 0x07, false}}) {
        SetUp();
        report_after_flash(c.reported_major, c.reported_minor);
        image.rev_major = c.image_major;
        image.rev_minor = c.image_minor;
        EXPECT_EQ(flash(), c.accepted ? RC_SUCCESS : RC_FLASH_FAILED)
            << std::hex << int(c.reported_major) << "." << int(c.reported_minor) << " against " << int(c.image_major)
            << "." << int(c.image_minor);
        EXPECT_EQ(err, c.accepted ? "" : "\r   Revision Check Failed    \n");
    }
}

TEST_F(BpFlash, silent_board_after_flash_is_asked_four_times)
{
    board().silent_after_flash = true;
    EXPECT_EQ(flash(), RC_FLASH_FAILED);
    // One before the flash, three in the erase wait, four reads of five
    // attempts each after the exit.
    EXPECT_EQ(count(NETFN_APP, CMD_GET_DEVICE_ID), READS_BEFORE_EXIT + 4u * DEVICE_ID_ATTEMPTS);
    EXPECT_EQ(model_link::module_waits_ms(), (std::vector<unsigned>{5000, 1000, 5000, 500, 500, 500}));
    EXPECT_EQ(out.substr(out.rfind("\r   Checking Revision ")), "\r   Checking Revision ..." + CLEAR);
}

}  // namespace
