// SPDX-License-Identifier: GPL-3.0-or-later
// The flash run over the device table, through the real transport into the
// one board model: which rows are flashed, skipped or left, where it stops,
// the front-panel lock around it and the interrupt.
#include <gtest/gtest.h>

#include <csignal>

#include "crc_oracle.h"
#include "datafile_kit.h"
#include "model_link.h"

#include "datafile/file_handler.h"
#include "datafile/proc_crc.h"
#include "flash/bp_flash.h"
#include "flash/flash_run.h"
#include "output/print.h"

namespace {

constexpr uint8_t ADDRESSES[] = {0xC0, 0xC2, 0xC4};
constexpr uint8_t IMAGE_MAJOR = 1;
constexpr uint8_t IMAGE_MINOR = 0x06;
const char *const NAMES[] = {"Primary Backplane", "Secondary Backplane", "Media Bay"};

class FlashRun : public ::testing::Test {
protected:
    DEVICES_INFO rows[3]{};
    IMAGE_HDR image{};
    DAT_FILE_INFO info{};
    std::string out;

    void SetUp() override
    {
        model_link::start();
        print_constructor();
        file_handler_destructor();
        file_handler_constructor();
        info.devices = rows;
        for (int i = 0; i < 3; i++) {
            model_link::add_board(ADDRESSES[i]);
            rows[i].slave_address = ADDRESSES[i];
            rows[i].device_type = BACKPLANE_DEVICE_TYPE;
            rows[i].status = DS_ABSENT;
            rows[i].image = &image;
            strcpy(rows[i].name, NAMES[i]);
        }
        load_image();
    }

    void TearDown() override { file_handler_destructor(); }

    void load_image()
    {
        std::vector<uint8_t> bytes(TRANSFER_SIZE);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = static_cast<uint8_t>(i * 13);
        bytes[0] = TRANSFER_SIZE & 0xFF;
        bytes[1] = TRANSFER_SIZE >> 8;
        // Where a board reads the revision of what it was given.
        bytes[datafile_kit::SIM_REVISION_OFFSET] = IMAGE_MAJOR;
        bytes[datafile_kit::SIM_REVISION_OFFSET + 1] = IMAGE_MINOR;
        image.image_crc = oracle::crc16_arc(bytes.data(), bytes.size());
        image.image_length = TRANSFER_SIZE;
        image.data_offset = 0;
        image.rev_major = IMAGE_MAJOR;
        image.rev_minor = IMAGE_MINOR;
        std::string path = model_link::write_temp_file(bytes);
        testing::internal::CaptureStdout();
        load_data_file(path.c_str());
        testing::internal::GetCapturedStdout();
        unlink(path.c_str());
    }

    RETURN_CODE run()
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        RETURN_CODE result = start_flash(&info);
        out = testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        return result;
    }

    size_t requests_to(uint8_t slave) const
    {
        size_t count = 0;
        for (const model_link::Sent &sent : model_link::sent)
            count += sent.slave == slave;
        return count;
    }

    // The bytes the BMC was asked to set as its front-panel enables, in order.
    static std::vector<uint8_t> front_panel_writes()
    {
        std::vector<uint8_t> writes;
        for (const model_link::Sent &sent :
             model_link::sent_to(BMC_SLAVE_ADDRESS, NETFN_CHASSIS, CMD_SET_FRONT_PANEL_ENABLES))
            writes.push_back(sent.data.at(0));
        return writes;
    }

    size_t occurrences(const std::string &text) const
    {
        size_t count = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            count++;
        return count;
    }
};

TEST_F(FlashRun, flashes_marked_boards_and_skips_equal_ones_in_order)
{
    rows[0].status = DS_TO_FLASH;
    rows[1].status = DS_SAME_VERSION;
    rows[2].status = DS_TO_FLASH;
    EXPECT_EQ(run(), RC_SUCCESS);
    EXPECT_EQ(rows[0].status, DS_FLASHED);
    EXPECT_EQ(rows[1].status, DS_SAME_VERSION);
    EXPECT_EQ(rows[2].status, DS_FLASHED);
    size_t first = out.find("   Processing Primary Backplane \n");
    size_t skip = out.find("   Skipping flash of Secondary Backplane as versions are same. \n");
    size_t third = out.find("   Processing Media Bay \n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(skip, std::string::npos);
    ASSERT_NE(third, std::string::npos);
    EXPECT_LT(first, skip);
    EXPECT_LT(skip, third);
    EXPECT_EQ(requests_to(0xC2), 0u);
    EXPECT_EQ(model_link::board_at(0xC4).flash.at(100), static_cast<uint8_t>(100 * 13));
}

TEST_F(FlashRun, stops_at_the_first_failed_board)
{
    rows[0].status = DS_TO_FLASH;
    rows[1].status = DS_TO_FLASH;
    model_link::board_at(0xC0).refuse_exit = true;
    EXPECT_EQ(run(), RC_EXIT_FW_XFER_FAILED);
    EXPECT_EQ(rows[0].status, DS_FLASH_FAILED);
    EXPECT_EQ(rows[1].status, DS_TO_FLASH);
    EXPECT_EQ(out.find("Processing Secondary"), std::string::npos);
    EXPECT_EQ(requests_to(0xC2), 0u);
    // The panel is put back after a failure too.
    EXPECT_EQ(front_panel_writes(), (std::vector<uint8_t>{0xF1, 0xF5, 0xF0}));
}

TEST_F(FlashRun, board_of_another_type_fails_without_a_request)
{
    rows[1].status = DS_TO_FLASH;
    rows[1].device_type = 3;
    rows[2].status = DS_TO_FLASH;
    EXPECT_EQ(run(), RC_FLASH_FAILED);
    EXPECT_NE(out.find("   Processing Secondary Backplane \n"), std::string::npos);
    EXPECT_EQ(rows[1].status, DS_FLASH_FAILED);
    EXPECT_EQ(rows[2].status, DS_TO_FLASH);
    EXPECT_EQ(requests_to(0xC2), 0u);
}

TEST_F(FlashRun, nothing_to_flash_is_a_failed_run)
{
    for (DEVICE_STATUS status : {DS_SAME_VERSION, DS_FOUND, DS_IMAGE_MATCHED}) {
        for (DEVICES_INFO &row : rows)
            row.status = status;
        EXPECT_EQ(run(), RC_FAILED);
        EXPECT_EQ(occurrences("as versions are same."), status == DS_SAME_VERSION ? 3u : 0u);
        EXPECT_EQ(out.find("Processing"), std::string::npos);
    }
}

TEST_F(FlashRun, boards_flashed_before_are_flashed_again)
{
    rows[0].status = DS_FLASHED;
    rows[2].status = DS_FLASHED;
    EXPECT_EQ(run(), RC_SUCCESS);
    EXPECT_EQ(run(), RC_SUCCESS);
    EXPECT_EQ(occurrences("   Processing "), 2u);
    EXPECT_EQ(model_link::sent_to(0xC4, NETFN_FIRMWARE, CMD_EXIT_FW_XFER).size(), 2u);
    // Locked and restored once per pass.
    EXPECT_EQ(front_panel_writes(), (std::vector<uint8_t>{0xF1, 0xF5, 0xF0, 0xF1, 0xF5, 0xF0}));
}

TEST_F(FlashRun, interrupt_stays_ignored_after_the_run)
{
    signal(SIGINT, SIG_DFL);
    run();
    EXPECT_EQ(signal(SIGINT, SIG_DFL), SIG_IGN);
}

TEST_F(FlashRun, panel_is_left_alone_when_the_chassis_answer_is_short)
{
    model_link::platform.chassis_status_length = 3;
    rows[0].status = DS_TO_FLASH;
    EXPECT_EQ(run(), RC_SUCCESS);
    EXPECT_TRUE(front_panel_writes().empty());
}

}  // namespace
