// SPDX-License-Identifier: GPL-3.0-or-later
// The version table: its lines in the four revision formats, which rows it
// lists, and the early ends of the revision-only and inventory modes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "output/display.h"
#include "output/dup.h"
#include "output/print.h"

namespace {

const std::string HEADER = "\n   Firmware Versions                                 Current     Image\n";

class Display : public ::testing::Test {
protected:
    DEVICES_INFO rows[3]{};
    IMAGE_HDR image{};
    DAT_FILE_INFO info{};

    void SetUp() override
    {
        print_constructor();
        set_xml_display(XML_NONE);
        info.devices = rows;
        const char *names[] = {"Primary Backplane", "Secondary Backplane", "Media Bay"};
        for (int i = 0; i < 3; i++) {
            strcpy(rows[i].name, names[i]);
            rows[i].status = DS_ABSENT;
        }
    }

    std::string show(RETURN_CODE code, RETURN_CODE expected)
    {
        testing::internal::CaptureStdout();
        EXPECT_EQ(display_information(&info, code), expected);
        return testing::internal::GetCapturedStdout();
    }
};

std::string name_part(const std::string &name)
{
    std::string text = "    " + name + " ";
    return text + std::string(50 - text.size(), '.');
}

TEST_F(Display, each_revision_format)
{
    struct Case {
        uint8_t cur_major, cur_minor;
        bool with_image;
        std::string revision_part;
    };
    image.rev_major = 1;
    image.rev_minor = 0x10;
    for (const Case &c :
         {Case{1, 0x05, true, "    1.05       1.10   "}, Case{0x81, 0x10, true, "   BB 1.10      1.10  "},
          Case{12, 0x0A, false, "   12.0a        N/A   "}, Case{0x80, 0x00, false, "   BB 0.00      N/A  "}}) {
        rows[0].status = c.with_image ? DS_IMAGE_MATCHED : DS_FOUND;
        rows[0].cur_major = c.cur_major;
        rows[0].cur_minor = c.cur_minor;
        rows[0].image = c.with_image ? &image : nullptr;
        EXPECT_EQ(show(RC_SUCCESS, RC_SUCCESS), HEADER + name_part("Primary Backplane") + c.revision_part + "\n\n");
    }
}

TEST_F(Display, name_part_is_fifty_characters_for_the_example_board)
{
    rows[0].status = DS_IMAGE_MATCHED;
    rows[0].cur_major = 1;
    rows[0].cur_minor = 0x05;
    rows[0].image = &image;
    image.rev_major = 1;
    image.rev_minor = 0x06;
    std::string line = show(RC_SUCCESS, RC_SUCCESS).substr(HEADER.size());
    EXPECT_EQ(line, "    Primary Backplane " + std::string(28, '.') + "    1.05       1.06   \n\n");
}

TEST_F(Display, lists_only_boards_found_or_decided)
{
    image.rev_major = 2;
    image.rev_minor = 0x01;
    const std::string primary = name_part("Primary Backplane") + "    1.00       2.01   \n";
    const std::string media_bay = name_part("Media Bay") + "    1.00        N/A   \n";
    for (DEVICE_STATUS unlisted : {DS_INITIAL, DS_EXPECTED, DS_ABSENT, DS_FLASHED, DS_FLASH_FAILED}) {
        for (DEVICES_INFO &row : rows)
            row.cur_major = 1;
        rows[0].status = DS_TO_FLASH;
        rows[0].image = &image;
        rows[1].status = unlisted;
        rows[1].image = &image;
        rows[2].status = DS_FOUND;
        rows[2].image = nullptr;
        EXPECT_EQ(show(RC_SUCCESS, RC_SUCCESS), HEADER + primary + media_bay + "\n") << "status " << int(unlisted);
    }
    rows[0].status = DS_SAME_VERSION;
    rows[2].status = DS_IMAGE_MATCHED;
    rows[2].image = &image;
    EXPECT_EQ(show(RC_SUCCESS, RC_SUCCESS),
              HEADER + primary + name_part("Media Bay") + "    1.00       2.01   \n" + "\n");
}

TEST_F(Display, no_listed_row_shows_only_the_header)
{
    EXPECT_EQ(show(RC_SUCCESS, RC_SUCCESS), HEADER);
}

TEST_F(Display, codes_and_modes)
{
    rows[1].status = DS_FOUND;
    rows[1].cur_major = 1;
    rows[1].cur_minor = 0x05;
    const std::string table = HEADER + name_part("Secondary Backplane") + "    1.05        N/A   \n\n";
    // A missing data file still shows the table and passes its code on.
    EXPECT_EQ(show(RC_FILE_NOT_FOUND, RC_FILE_NOT_FOUND), table);

    set_display_state(DISPLAY_REVISION);
    EXPECT_EQ(show(RC_FILE_NOT_FOUND, RC_EXIT_OK), table);
    EXPECT_EQ(show(RC_SUCCESS, RC_EXIT_OK), table);

    set_display_state(DISPLAY_XML);
    set_xml_display(XML_RESULT);
    EXPECT_EQ(show(RC_SUCCESS, RC_SUCCESS), "");

    set_display_state(DISPLAY_NORMAL);
    set_xml_display(XML_INVENTORY);
    EXPECT_EQ(show(RC_SUCCESS, RC_EXIT_OK), "");
    EXPECT_EQ(show(RC_FILE_NOT_FOUND, RC_EXIT_OK), "");
    set_xml_display(XML_NONE);
}

}  // namespace
