// SPDX-License-Identifier: GPL-3.0-or-later
// The XML reports: both documents line for line, which document each result
// code gets in each mode, the failure forms and the texts of the codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "output/dup.h"

namespace {

const std::string DECLARATION = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string device(const std::string &application)
{
    return "   <Device componentID=\"3967\" display=\"Backplane\">\n" + application + "   </Device>\n";
}

std::string inventory_entry(const std::string &version, const std::string &name)
{
    return device("      <Application componentType=\"FRMW\" version=\"" + version + "\" display=\"" + name + "\"/>\n");
}

std::string result_entry(const std::string &version, const std::string &name, const std::string &package,
                         const std::string &status_block)
{
    return device("      <Application componentType=\"FRMW\" version=\"" + version + "\" display=\"" + name + "\">\n" +
                  "           <Package version=\"" + package + "\"/>\n" + status_block + "      </Application>\n");
}

const std::string UPDATED = "         <SPStatus result=\"true\">\n"
                            "            <Message id=\"0\">Update Successful.</Message>\n"
                            "         </SPStatus>\n";
const std::string FAILED = "         <SPStatus result=\"false\">\n"
                           "            <Message id=\"1\">Update Failed.</Message>\n"
                           "         </SPStatus>\n";
const std::string NOT_UPDATED = "         <SPStatus result=\"false\">\n"
                                "            <Message id=\"2\">Not Updated</Message>\n"
                                "         </SPStatus>\n";
const std::string REBOOT = "   <RebootRequired>0</RebootRequired>\n";

std::string failure_form(const std::string &root, int code, const std::string &text)
{
    return DECLARATION + "<" + root + " lang=\"en\">\n" + "         <SPStatus result=\"false\">\n" +
        "            <Message id=\"" + std::to_string(code) + "\">" + text + "</Message>\n" + "         </SPStatus>\n" +
        "</" + root + ">\n";
}

class Xml : public ::testing::Test {
protected:
    DEVICES_INFO rows[3]{};
    IMAGE_HDR image{};
    DAT_FILE_INFO info{};

    void SetUp() override
    {
        const char *names[] = {"Primary Backplane", "Secondary Backplane", "Media Bay"};
        for (int i = 0; i < 3; i++) {
            strcpy(rows[i].name, names[i]);
            rows[i].status = DS_ABSENT;
        }
        image.rev_major = 2;
        image.rev_minor = 0x01;
        info.devices = rows;
    }

    void TearDown() override { set_xml_display(XML_NONE); }

    void board(int row, DEVICE_STATUS status, uint8_t major, uint8_t minor, bool with_image = true)
    {
        rows[row].status = status;
        rows[row].cur_major = major;
        rows[row].cur_minor = minor;
        rows[row].image = with_image ? &image : nullptr;
    }

    std::string report(XML_DISPLAY_OPTION mode, RETURN_CODE code, RETURN_CODE expected, const DAT_FILE_INFO *record)
    {
        set_xml_display(mode);
        testing::internal::CaptureStdout();
        EXPECT_EQ(process_xml(code, record), expected);
        return testing::internal::GetCapturedStdout();
    }
    std::string report(XML_DISPLAY_OPTION mode, RETURN_CODE code, RETURN_CODE expected)
    {
        return report(mode, code, expected, &info);
    }
};

TEST_F(Xml, inventory_lists_boards_found_with_boot_block_as_zero)
{
    board(0, DS_FOUND, 1, 0x05, false);
    board(1, DS_ABSENT, 3, 0x00);
    board(2, DS_IMAGE_MATCHED, 0x81, 0x10);
    EXPECT_EQ(report(XML_INVENTORY, RC_EXIT_OK, RC_SUCCESS),
              DECLARATION + "<SVMInventory lang=\"en\">\n" + inventory_entry("1.05", "Primary Backplane") +
                  inventory_entry("0.00", "Media Bay") + "</SVMInventory>\n");
}

TEST_F(Xml, inventory_without_boards_answering_is_empty_and_succeeds)
{
    EXPECT_EQ(report(XML_INVENTORY, RC_DEVICE_NOT_FOUND, RC_SUCCESS),
              DECLARATION + "<SVMInventory lang=\"en\">\n</SVMInventory>\n");
}

TEST_F(Xml, execution_result_reports_each_outcome)
{
    board(0, DS_FLASHED, 1, 0x05);
    board(1, DS_SAME_VERSION, 2, 0x01);
    board(2, DS_FOUND, 1, 0x00, false);  // no image: left out
    EXPECT_EQ(report(XML_RESULT, RC_SUCCESS, RC_SUCCESS),
              DECLARATION + "<SVMExecution lang=\"en\">\n" +
                  result_entry("1.05", "Primary Backplane", "2.01", UPDATED) +
                  result_entry("2.01", "Secondary Backplane", "2.01", NOT_UPDATED) + REBOOT + "</SVMExecution>\n");
}

TEST_F(Xml, failed_update_is_not_reported_as_success)
{
    board(0, DS_FLASH_FAILED, 0x80, 0x00);
    board(1, DS_TO_FLASH, 1, 0x05);
    EXPECT_EQ(report(XML_RESULT, RC_FLASH_FAILED, RC_FLASH_FAILED),
              DECLARATION + "<SVMExecution lang=\"en\">\n" + result_entry("0.00", "Primary Backplane", "2.01", FAILED) +
                  result_entry("1.05", "Secondary Backplane", "2.01", NOT_UPDATED) + "</SVMExecution>\n");
}

TEST_F(Xml, which_document_each_code_gets)
{
    struct Case {
        RETURN_CODE code;
        XML_DISPLAY_OPTION mode;
        bool devices;
        RETURN_CODE returned;
        std::string document;
    };
    const std::string inventory = DECLARATION + "<SVMInventory lang=\"en\">\n</SVMInventory>\n";
    const std::string execution = DECLARATION + "<SVMExecution lang=\"en\">\n</SVMExecution>\n";
    const Case cases[] = {
        {RC_EXIT_FW_XFER_FAILED, XML_RESULT, true, RC_EXIT_FW_XFER_FAILED, execution},
        {RC_FLASH_FAILED, XML_INVENTORY, true, RC_SUCCESS, inventory},
        {RC_SUCCESS, XML_RESULT, false, RC_SUCCESS, failure_form("SVMExecution", 0, "Success")},
        {RC_DEVICE_NOT_FOUND, XML_INVENTORY, false, RC_DEVICE_NOT_FOUND,
         failure_form("SVMInventory", 10, "Device Not Found")},
        {RC_CRC_FAILED, XML_INVENTORY, true, RC_CRC_FAILED, failure_form("SVMInventory", 5, "CRC Failed")},
        {RC_FAILED, XML_RESULT, true, RC_FAILED, failure_form("SVMExecution", 1, "Failed")},
        {RC_BAD_READ, XML_RESULT, true, RC_BAD_READ, failure_form("SVMExecution", 17, "Failed")},
        {RC_PLATFORM_NOT_SUPPORTED, XML_INVENTORY, true, RC_PLATFORM_NOT_SUPPORTED,
         DECLARATION + "<SVMInventory lang=\"en\"/>\n"},
        {RC_LOAD_LIBRARY_FAILED, XML_RESULT, false, RC_LOAD_LIBRARY_FAILED,
         DECLARATION + "<SVMExecution lang=\"en\"/>\n"},
        {RC_OPTION_ERROR, XML_RESULT, true, RC_OPTION_ERROR, ""},
        {RC_OPTION_ERROR, XML_INVENTORY, false, RC_OPTION_ERROR, ""},
        {RC_CRC_FAILED, XML_NONE, true, RC_CRC_FAILED, ""},
        {RC_EXIT_OK, XML_NONE, true, RC_EXIT_OK, ""},
    };
    DAT_FILE_INFO without_devices{};
    for (const Case &c : cases) {
        EXPECT_EQ(report(c.mode, c.code, c.returned, c.devices ? &info : &without_devices), c.document)
            << "code " << int(c.code) << ", mode " << int(c.mode);
    }
}

TEST_F(Xml, every_code_has_its_text)
{
    struct Case {
        int code;
        const char *text;
    };
    const Case cases[] = {
        {1, "Failed"},
        {2, "File Not Found"},
        {3, "Out of Memory"},
        {4, "Error in File"},
        {5, "CRC Failed"},
        {6, "Data File Not Recognized"},
        {7, "BMC Not Responding"},
        {8, "Failed"},
        {9, "Bad Data"},
        {15, "Version Not Supported"},
        {16, "Failed"},
        {18, "Cannot Create File"},
        {19, "Failed"},
        {25, "Failed"},
        {26, "Size Mismatched"},
        {255, "Failed"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(report(XML_RESULT, static_cast<RETURN_CODE>(c.code), static_cast<RETURN_CODE>(c.code)),
                  failure_form("SVMExecution", c.code, c.text));

    // The codes that report boards get their failure form only without a device table.
    const Case board_codes[] = {
        {0, "Success"}, {10, "Device Not Found"}, {11, "Flash Failed"}, {12, "Failed Flash GetID"},
        {13, "Failed"}, {14, "Failed"},           {22, "Failed"}};
    DAT_FILE_INFO without_devices{};
    for (const Case &c : board_codes)
        EXPECT_EQ(
            report(XML_INVENTORY, static_cast<RETURN_CODE>(c.code), static_cast<RETURN_CODE>(c.code), &without_devices),
            failure_form("SVMInventory", c.code, c.text));
}

TEST_F(Xml, out_of_range_mode_is_ignored)
{
    set_xml_display(XML_RESULT);
    set_xml_display(static_cast<XML_DISPLAY_OPTION>(3));
    EXPECT_EQ(get_xml_display(), XML_RESULT);
}

}  // namespace
