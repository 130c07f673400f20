// SPDX-License-Identifier: GPL-3.0-or-later
// The flash decision: every policy over every kind of board, the questions it
// asks and what the answers do, and the rows it must leave alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "answers.h"
#include "flash/device_handler.h"
#include "flash/discovery.h"
#include "output/print.h"

namespace {

const std::string CONTINUE = "   Continue ? Y/N: ";

struct Revisions {
    const char *name;
    uint8_t cur_major, cur_minor, img_major, img_minor;
};

const Revisions BOOT_BLOCK{"boot_block", 0x81, 0x05, 1, 0x06};
const Revisions SAME{"same", 1, 0x06, 1, 0x06};
const Revisions OLDER_IMAGE{"older_image", 1, 0x10, 1, 0x05};
const Revisions NEWER_IMAGE{"newer_image", 1, 0x09, 1, 0x10};

const std::string FORCE_MESSAGE = "\r   Force flash Primary Backplane \n";
const std::string FLASH_QUESTION = "\r   Flash Primary Backplane (Y/N)? ";
const std::string DOWNGRADE_PROMPT = "   Downgrade Primary Backplane from 1.10 to 1.05 (Y/N)?";

struct Decision {
    FLASH_MODE mode;
    Revisions board;
    const char *answer;  // typed after "Y" to Continue; empty when nothing is asked
    DEVICE_STATUS status;
    std::string shown;  // after the Continue prompt
};

void PrintTo(const Decision &d, std::ostream *os)
{
    *os << "mode " << int(d.mode) << ", " << d.board.name << ", answer '" << d.answer << "'";
}

class DecisionTest : public ::testing::TestWithParam<Decision> {
protected:
    DEVICES_INFO rows[const_glob_devices_count]{};
    IMAGE_HDR image{};
    DAT_FILE_INFO info{};

    void SetUp() override
    {
        print_constructor();
        device_handler_constructor();
        info.devices = rows;
        for (DEVICES_INFO &row : rows)
            row.status = DS_ABSENT;
        strcpy(rows[0].name, "Primary Backplane");
        rows[0].image = &image;
        rows[0].status = DS_IMAGE_MATCHED;
    }

    std::string decide(const std::string &typed)
    {
        answer_prompts_with(typed);
        testing::internal::CaptureStdout();
        check_images_revision(&info);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_P(DecisionTest, follows_the_decision_table)
{
    const Decision &d = GetParam();
    set_flash_mode(d.mode);
    rows[0].cur_major = d.board.cur_major;
    rows[0].cur_minor = d.board.cur_minor;
    image.rev_major = d.board.img_major;
    image.rev_minor = d.board.img_minor;

    EXPECT_EQ(decide(std::string("Y\n") + d.answer), CONTINUE + d.shown);
    EXPECT_EQ(rows[0].status, d.status);
    EXPECT_EQ(rows[1].status, DS_ABSENT);
}

INSTANTIATE_TEST_SUITE_P(ModesByBoardState, DecisionTest,
                         ::testing::Values(Decision{FLASH_NORMAL, BOOT_BLOCK, "", DS_TO_FLASH, FORCE_MESSAGE},
                                           Decision{FLASH_NORMAL, SAME, "", DS_SAME_VERSION, ""},
                                           Decision{FLASH_NORMAL, OLDER_IMAGE, "y\n", DS_TO_FLASH, DOWNGRADE_PROMPT},
                                           Decision{FLASH_NORMAL, OLDER_IMAGE, "n\n", DS_FOUND, DOWNGRADE_PROMPT},
                                           Decision{FLASH_NORMAL, NEWER_IMAGE, "", DS_TO_FLASH, ""},
                                           Decision{FLASH_PROMPT, BOOT_BLOCK, "N\n", DS_FOUND, FLASH_QUESTION},
                                           Decision{FLASH_PROMPT, SAME, "Y\n", DS_TO_FLASH, FLASH_QUESTION},
                                           Decision{FLASH_PROMPT, OLDER_IMAGE, "Y\n", DS_TO_FLASH, FLASH_QUESTION},
                                           Decision{FLASH_PROMPT, NEWER_IMAGE, "N\n", DS_FOUND, FLASH_QUESTION},
                                           Decision{FLASH_FORCE, BOOT_BLOCK, "", DS_TO_FLASH, FORCE_MESSAGE},
                                           Decision{FLASH_FORCE, SAME, "", DS_TO_FLASH, FORCE_MESSAGE},
                                           Decision{FLASH_FORCE, OLDER_IMAGE, "", DS_TO_FLASH, FORCE_MESSAGE},
                                           Decision{FLASH_FORCE, NEWER_IMAGE, "", DS_TO_FLASH, FORCE_MESSAGE},
                                           Decision{FLASH_NO_DOWNGRADE, BOOT_BLOCK, "", DS_TO_FLASH, FORCE_MESSAGE},
                                           Decision{FLASH_NO_DOWNGRADE, SAME, "", DS_SAME_VERSION, ""},
                                           Decision{FLASH_NO_DOWNGRADE, OLDER_IMAGE, "", DS_FOUND, ""},
                                           Decision{FLASH_NO_DOWNGRADE, NEWER_IMAGE, "", DS_TO_FLASH, ""},
                                           Decision{FLASH_DOWNGRADE, BOOT_BLOCK, "", DS_TO_FLASH, FORCE_MESSAGE},
                                           Decision{FLASH_DOWNGRADE, SAME, "", DS_SAME_VERSION, ""},
                                           Decision{FLASH_DOWNGRADE, OLDER_IMAGE, "", DS_TO_FLASH, ""},
                                           Decision{FLASH_DOWNGRADE, NEWER_IMAGE, "", DS_TO_FLASH, ""}));

using DeviceHandler = DecisionTest;

TEST_F(DeviceHandler, declining_to_continue_leaves_every_row)
{
    set_flash_mode(FLASH_FORCE);
    EXPECT_EQ(decide("n\n"), CONTINUE);
    EXPECT_EQ(rows[0].status, DS_IMAGE_MATCHED);
}

TEST_F(DeviceHandler, a_word_or_a_blank_line_is_asked_again)
{
    set_flash_mode(FLASH_FORCE);
    EXPECT_EQ(decide("yes\n\nx\nY\n"), CONTINUE + CONTINUE + CONTINUE + CONTINUE + FORCE_MESSAGE);
    EXPECT_EQ(rows[0].status, DS_TO_FLASH);
}

TEST_F(DeviceHandler, several_boards_are_decided_in_table_order_from_one_input)
{
    set_flash_mode(FLASH_PROMPT);
    IMAGE_HDR second_image{};
    strcpy(rows[2].name, "Media Bay");
    rows[2].image = &second_image;
    rows[2].status = DS_IMAGE_MATCHED;
    EXPECT_EQ(decide("Y\nn\ny\n"), CONTINUE + FLASH_QUESTION + "\r   Flash Media Bay (Y/N)? ");
    EXPECT_EQ(rows[0].status, DS_FOUND);
    EXPECT_EQ(rows[2].status, DS_TO_FLASH);
}

TEST_F(DeviceHandler, rows_without_a_matched_image_are_never_touched)
{
    set_flash_mode(FLASH_FORCE);
    for (DEVICE_STATUS status : {DS_FOUND, DS_ABSENT, DS_SAME_VERSION, DS_FLASHED}) {
        rows[0].status = status;
        EXPECT_EQ(decide("Y\n"), CONTINUE);
        EXPECT_EQ(rows[0].status, status);
    }
}

TEST_F(DeviceHandler, quiet_state_answers_every_question_yes_silently)
{
    set_display_state(DISPLAY_QUIET);
    rows[0].cur_minor = 0x10;
    image.rev_major = 0;
    EXPECT_EQ(decide(""), "");
    EXPECT_EQ(rows[0].status, DS_TO_FLASH);
}

TEST_F(DeviceHandler, out_of_range_mode_is_ignored)
{
    set_flash_mode(FLASH_DOWNGRADE);
    set_flash_mode(static_cast<FLASH_MODE>(5));
    EXPECT_EQ(get_flash_mode(), FLASH_DOWNGRADE);
    device_handler_constructor();
    EXPECT_EQ(get_flash_mode(), FLASH_NORMAL);
}

}  // namespace
