// The backplane transfer against a scripted board: what the board receives,
// the order and shape of the commands, the waits, the console lines, and
// every failure with its result and messages.
#include <gtest/gtest.h>

#include "datafile_kit.h"
#include "fake_board.h"

#include "datafile/file_handler.h"
#include "datafile/proc_crc.h"
#include "output/print.h"

namespace {

constexpr uint8_t BOARD = 0xC0;
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
    return datafile_kit::crc16(bytes.data() + start, count);
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
        fake.reset();
        fake.boards[BOARD] = FakeBoard{};
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
    // make `available` bytes from its first one.
    void use_image(uint32_t length, uint32_t available)
    {
        file.assign(IMAGE_OFFSET, 0x11);
        for (uint32_t i = 0; i < std::max(length, available); i++)
            file.push_back(static_cast<uint8_t>(i * 7 + 3));
        file[IMAGE_OFFSET] = static_cast<uint8_t>(length & 0xFF);
        file[IMAGE_OFFSET + 1] = static_cast<uint8_t>((length >> 8) & 0xFF);
        image.device_type = BACKPLANE_DEVICE_TYPE;
        image.rev_major = fake.image_major;
        image.rev_minor = fake.image_minor;
        image.image_length = length;
        image.data_offset = IMAGE_OFFSET;
        image.image_crc = crc_of(file, IMAGE_OFFSET, length);
    }

    RETURN_CODE flash()
    {
        std::string path = write_temp_file(file);
        testing::internal::CaptureStdout();
        EXPECT_EQ(load_data_file(path.c_str()), RC_SUCCESS);
        testing::internal::GetCapturedStdout();
        unlink(path.c_str());
        fake.sent.clear();
        fake.delays_ms.clear();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        RETURN_CODE result = flash_bp_fw(nullptr, &row);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    FakeBoard &board() { return fake.boards[BOARD]; }
    size_t count(uint8_t netfn, uint8_t command) const { return fake.commands_to(BOARD, netfn, command).size(); }
};

TEST_F(BpFlash, writes_the_whole_image_and_verifies_the_new_revision)
{
    board().major = 1;
    board().minor = 0x05;
    ASSERT_EQ(flash(), RC_SUCCESS);

    EXPECT_EQ(out, ERASE_DONE_AFTER_ONE_POLL + CLEAR + progress_lines(1, 100) + SUCCESS_TAIL);
    EXPECT_EQ(err, "");
    // The row keeps the revision read just before the flash.
    EXPECT_EQ(row.cur_major, 1);
    EXPECT_EQ(row.cur_minor, 0x05);

    for (uint32_t i = 0; i < TRANSFER_SIZE; i++)
        ASSERT_EQ(board().memory[TRANSFER_BASE_ADDRESS + i], file[IMAGE_OFFSET + i]) << "board address " << i;

    // Get Device ID, unlock, two erase polls, the chunks, exit, revision read.
    ASSERT_EQ(fake.sent.size(), 1 + 1 + 2 + CHUNKS + 1 + 1);
    const SentCommand &identify = fake.sent[0];
    EXPECT_EQ(identify.netfn, NETFN_APP);
    EXPECT_EQ(identify.command, CMD_GET_DEVICE_ID);
    EXPECT_EQ(identify.attempts, 5);
    EXPECT_EQ(identify.delay_ms, 200);
    const SentCommand &unlock = fake.sent[1];
    EXPECT_EQ(unlock.command, CMD_ENTER_FW_XFER);
    EXPECT_EQ(std::string(unlock.data.begin(), unlock.data.end()),
              std::string({UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3, UNLOCK_CODE_4}));
    EXPECT_EQ(unlock.attempts, 5);
    EXPECT_EQ(unlock.delay_ms, 200);
    for (int poll : {2, 3}) {
        EXPECT_EQ(fake.sent[poll].command, CMD_GET_DEVICE_ID);
        EXPECT_EQ(fake.sent[poll].attempts, 2);
        EXPECT_EQ(fake.sent[poll].delay_ms, 10);
    }
    uint16_t expected_address = TRANSFER_BASE_ADDRESS;
    for (size_t i = 0; i < CHUNKS; i++) {
        const SentCommand &chunk = fake.sent[4 + i];
        ASSERT_EQ(chunk.netfn, NETFN_FIRMWARE);
        ASSERT_EQ(chunk.command, CMD_FW_DATA);
        ASSERT_EQ(chunk.attempts, 60);
        ASSERT_EQ(chunk.delay_ms, 20);
        ASSERT_EQ(chunk.data[0] | (chunk.data[1] << 8), expected_address) << "chunk " << i;
        expected_address = static_cast<uint16_t>(expected_address + chunk.data.size() - 2);
    }
    const SentCommand &last_chunk = fake.sent[4 + CHUNKS - 1];
    EXPECT_EQ(last_chunk.data.size(), 18u);
    EXPECT_EQ(last_chunk.data[0], 0xF0);
    EXPECT_EQ(last_chunk.data[1], 0xBF);
    EXPECT_EQ(fake.sent[4 + CHUNKS].command, CMD_EXIT_FW_XFER);
    EXPECT_EQ(fake.sent[5 + CHUNKS].command, CMD_GET_DEVICE_ID);
    EXPECT_EQ(fake.delays_ms, (std::vector<unsigned>{5000, 1000, 5000}));
}

TEST_F(BpFlash, short_image_is_sent_as_full_range_with_patched_length)
{
    constexpr uint32_t length = 0x8000;
    use_image(length, TRANSFER_SIZE);
    ASSERT_EQ(flash(), RC_SUCCESS);
    EXPECT_EQ(board().memory[TRANSFER_BASE_ADDRESS], 0x00);
    EXPECT_EQ(board().memory[TRANSFER_BASE_ADDRESS + 1], 0xB0);
    // The bytes after the image run on into whatever follows it in the file.
    for (uint32_t i = 2; i < TRANSFER_SIZE; i++)
        ASSERT_EQ(board().memory[TRANSFER_BASE_ADDRESS + i], file[IMAGE_OFFSET + i]);
}

TEST_F(BpFlash, alternate_unlock_code_is_tried_silently)
{
    board().refuse_unlock = true;
    ASSERT_EQ(flash(), RC_SUCCESS);
    auto unlocks = fake.commands_to(BOARD, NETFN_FIRMWARE, CMD_ENTER_FW_XFER);
    ASSERT_EQ(unlocks.size(), 2u);
    EXPECT_EQ(std::string(unlocks[1].data.begin(), unlocks[1].data.end()),
              std::string({ALT_UNLOCK_CODE_1, ALT_UNLOCK_CODE_2, ALT_UNLOCK_CODE_3, ALT_UNLOCK_CODE_4}));
    EXPECT_EQ(out, ERASE_DONE_AFTER_ONE_POLL + CLEAR + progress_lines(1, 100) + SUCCESS_TAIL);
}

TEST_F(BpFlash, revision_check_ignores_boot_block_bit_and_retries_three_times)
{
    board().boot_block_after_flash = BOOT_BLOCK_BIT;
    board().unanswered_revision_reads = 3;
    ASSERT_EQ(flash(), RC_SUCCESS);
    EXPECT_EQ(out, ERASE_DONE_AFTER_ONE_POLL + CLEAR + progress_lines(1, 100) + CLEAR +
                       "\r   Flash Completed\n\r   Checking Revision ..." + CLEAR +
                       "\r   Checking Revision completed\n");
    EXPECT_EQ(fake.delays_ms, (std::vector<unsigned>{5000, 1000, 5000, 500, 500, 500}));
}

TEST_F(BpFlash, erase_dots_start_over_after_the_thirty_first_poll)
{
    board().erase_polls_unanswered = 40;
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
        board().refuse_data_command = c.refused_chunk;
        EXPECT_EQ(flash(), RC_FLASH_FAILED);
        EXPECT_EQ(out, ERASE_DONE_AFTER_ONE_POLL + CLEAR + c.progress) << "chunk " << c.refused_chunk;
        EXPECT_EQ(err, "\n   Flash Failed\n");
        EXPECT_EQ(board().data_commands, c.refused_chunk);
        EXPECT_EQ(count(NETFN_FIRMWARE, CMD_EXIT_FW_XFER), 1u);
    }
}

struct FailureCase {
    const char *name;
    void (*arrange)(FakeBoard &board, IMAGE_HDR &image, BpFlash &test);
    RETURN_CODE result;
    const char *debug_step;    // the step's debug line, or none
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
    // Nothing reaches the board unless it was unlocked.
    if (c.unlocks_sent == 0) {
        EXPECT_EQ(board().data_commands, 0);
    }
}

const std::string FLASH_FAILED = "\n   Flash Failed\n";

INSTANTIATE_TEST_SUITE_P(
    EveryRow, BpFlashFailure,
    ::testing::Values(
        FailureCase{"board_silent_before_flash", [](FakeBoard &b, IMAGE_HDR &, BpFlash &) { b.answers = false; },
                    RC_FLASH_FAILED, "\r   GET_DEVICE_ID ERROR while Flashing \n", FLASH_FAILED, 0, 1},
        FailureCase{"both_unlock_codes_refused",
                    [](FakeBoard &b, IMAGE_HDR &, BpFlash &) { b.refuse_unlock = b.refuse_alt_unlock = true; },
                    RC_FLASH_FAILED, "\r   ENTER_FW_XFER ERROR while Flashing \n", FLASH_FAILED, 2, 1},
        FailureCase{"erase_never_ends", [](FakeBoard &b, IMAGE_HDR &, BpFlash &) { b.erase_polls_unanswered = -1; },
                    RC_FLASH_FAILED, "\r   ENTER_FW_XFER ERROR while Flashing \n", FLASH_FAILED, 1, 1},
        FailureCase{"image_crc_mismatch", [](FakeBoard &, IMAGE_HDR &i, BpFlash &) { i.image_crc ^= 1; },
                    RC_FLASH_FAILED, nullptr, "\r   Image corruption occured \n" + FLASH_FAILED, 0, 1},
        // The stated length no longer covers what the CRC was taken over.
        FailureCase{"stated_length_one_short", [](FakeBoard &, IMAGE_HDR &i, BpFlash &) { i.image_length -= 1; },
                    RC_FLASH_FAILED, nullptr, "\r   Image corruption occured \n" + FLASH_FAILED, 0, 1},
        FailureCase{"file_ends_before_the_transfer_range",
                    [](FakeBoard &, IMAGE_HDR &, BpFlash &t) { static_cast<BpFlashFailure &>(t).shorten_file(TRANSFER_SIZE - 1); },
                    RC_FLASH_FAILED, nullptr, FLASH_FAILED, 0, 1},
        FailureCase{"exit_refused", [](FakeBoard &b, IMAGE_HDR &, BpFlash &) { b.refuse_exit = true; },
                    RC_EXIT_FW_XFER_FAILED, "\r   Flash Completed\n\r   EXIT_FW_XFER ERROR while Flashing \n", "", 1, 1},
        FailureCase{"silent_after_flash", [](FakeBoard &b, IMAGE_HDR &, BpFlash &) { b.silent_after_flash = true; },
                    RC_FLASH_FAILED, nullptr, "\r   Revision Check Failed \n", 1, 1},
        FailureCase{"other_revision_after_flash",
                    [](FakeBoard &b, IMAGE_HDR &, BpFlash &) { b.keep_old_revision = true; },
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

TEST_F(BpFlash, revision_check_compares_major_without_bit_seven_and_minor_as_is)
{
    struct Case {
        uint8_t reported_major, reported_minor;    // what the new firmware answers
        uint8_t image_major, image_minor;          // what the image header says
        bool accepted;
    };
    for (const Case &c : {Case{0x01, 0x06, 0x01, 0x06, true}, Case{0x81, 0x06, 0x01, 0x06, true},
                          Case{0x01, 0x06, 0x81, 0x06, true}, Case{0x02, 0x06, 0x01, 0x06, false},
                          Case{0x01, 0x07, 0x01, 0x06, false}, Case{0x81, 0x16, 0x01, 0x06, false},
                          Case{0x00, 0x06, 0x80, 0x07, false}}) {
        SetUp();
        fake.image_major = c.reported_major;
        fake.image_minor = c.reported_minor;
        image.rev_major = c.image_major;
        image.rev_minor = c.image_minor;
        EXPECT_EQ(flash(), c.accepted ? RC_SUCCESS : RC_FLASH_FAILED)
            << std::hex << int(c.reported_major) << "." << int(c.reported_minor) << " against "
            << int(c.image_major) << "." << int(c.image_minor);
        EXPECT_EQ(err, c.accepted ? "" : "\r   Revision Check Failed    \n");
    }
}

TEST_F(BpFlash, silent_board_after_flash_is_asked_four_times)
{
    board().silent_after_flash = true;
    EXPECT_EQ(flash(), RC_FLASH_FAILED);
    auto reads = fake.commands_to(BOARD, NETFN_APP, CMD_GET_DEVICE_ID);
    // One before the flash, two erase polls, four after the exit.
    EXPECT_EQ(reads.size(), 1u + 2u + 4u);
    EXPECT_EQ(fake.delays_ms, (std::vector<unsigned>{5000, 1000, 5000, 500, 500, 500}));
    EXPECT_EQ(out.substr(out.rfind("\r   Checking Revision ")), "\r   Checking Revision ..." + CLEAR);
}

}  // namespace
