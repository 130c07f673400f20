// SPDX-License-Identifier: GPL-3.0-or-later
// The XML reports: owns the XML mode (`s_xmldisp`) and the result-code texts
// (`error_map`), and prints the inventory or the execution result, or their
// failure forms, straight to standard output once at the end of a run.
#include "output/dup.h"

#include <cstdio>

#include "flash/discovery.h"

namespace {

constexpr uint8_t XML_OPTION_COUNT = 3;

XML_DISPLAY_OPTION s_xmldisp = XML_NONE;

struct ERROR_MAP_ENTRY {
    RETURN_CODE code;
    const char *text;
};

constexpr ERROR_MAP_ENTRY error_map[] = {
    {RC_SUCCESS, "Success"},
    {RC_FAILED, "Failed"},
    {RC_FILE_NOT_FOUND, "File Not Found"},
    {RC_OUT_OF_MEMORY, "Out of Memory"},
    {RC_ERROR_IN_FILE, "Error in File"},
    {RC_CRC_FAILED, "CRC Failed"},
    {RC_DATA_FILE_NOT_RECOGNIZED, "Data File Not Recognized"},
    {RC_BMC_NOT_RESPONDING, "BMC Not Responding"},
    {RC_FAILED_GENERAL, "Failed"},
    {RC_BAD_DATA, "Bad Data"},
    {RC_DEVICE_NOT_FOUND, "Device Not Found"},
    {RC_FLASH_FAILED, "Flash Failed"},
    {RC_FAILED_FLASH_GETID, "Failed Flash GetID"},
    {RC_VERSION_NOT_SUPPORTED, "Version Not Supported"},
    {RC_CANNOT_CREATE_FILE, "Cannot Create File"},
    {RC_PLATFORM_NOT_SUPPORTED, "Platform Not Supported"},
    {RC_SIZE_MISMATCHED, "Size Mismatched"},
    {RC_LOAD_LIBRARY_FAILED, "Failed to Load Library or enable channel"},
    {RC_NOT_TRUSTED, "Data File Not Trusted"},
};
static_assert(sizeof error_map / sizeof error_map[0] == 19);

// Every board is reported under the one component identity of the backplanes.
constexpr char COMPONENT_ID[] = "3967";
constexpr char COMPONENT_DISPLAY[] = "Backplane";

constexpr char XML_DECLARATION[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
constexpr char INVENTORY_OPEN[] = "<SVMInventory lang=\"en\">\n";
constexpr char INVENTORY_CLOSE[] = "</SVMInventory>\n";
constexpr char INVENTORY_EMPTY[] = "<SVMInventory lang=\"en\"/>\n";
constexpr char EXECUTION_OPEN[] = "<SVMExecution lang=\"en\">\n";
constexpr char EXECUTION_CLOSE[] = "</SVMExecution>\n";
constexpr char EXECUTION_EMPTY[] = "<SVMExecution lang=\"en\"/>\n";
constexpr char DEVICE_OPEN[] = "   <Device componentID=\"%s\" display=\"%s\">\n";
constexpr char DEVICE_CLOSE[] = "   </Device>\n";
constexpr char APPLICATION_LEAF[] =
    "      <Application componentType=\"FRMW\" version=\"%d.%02x\" display=\"%.*s\"/>\n";
constexpr char APPLICATION_OPEN[] =
    "      <Application componentType=\"FRMW\" version=\"%d.%02x\" display=\"%.*s\">\n";
constexpr char APPLICATION_CLOSE[] = "      </Application>\n";
constexpr char PACKAGE[] = "           <Package version=\"%d.%02x\"/>\n";
constexpr char STATUS_TRUE[] = "         <SPStatus result=\"true\">\n";
constexpr char STATUS_FALSE[] = "         <SPStatus result=\"false\">\n";
constexpr char STATUS_CLOSE[] = "         </SPStatus>\n";
constexpr char MESSAGE_UPDATED[] = "            <Message id=\"0\">Update Successful.</Message>\n";
constexpr char MESSAGE_FAILED[] = "            <Message id=\"1\">Update Failed.</Message>\n";
constexpr char MESSAGE_NOT_UPDATED[] = "            <Message id=\"2\">Not Updated</Message>\n";
constexpr char MESSAGE_CODE[] = "            <Message id=\"%d\">%s</Message>\n";
constexpr char REBOOT_NOT_REQUIRED[] = "   <RebootRequired>0</RebootRequired>\n";

// A code without a row of its own is reported as a plain failure.
constexpr size_t UNKNOWN_CODE_ENTRY = 1;
static_assert(error_map[UNKNOWN_CODE_ENTRY].code == RC_FAILED);

const char *ErrorCode2String(RETURN_CODE code)
{
    for (const ERROR_MAP_ENTRY &entry : error_map)
        if (entry.code == code)
            return entry.text;
    return error_map[UNKNOWN_CODE_ENTRY].text;
}

// A board in its boot block has no firmware version to report.
void board_version(const DEVICES_INFO *device, int *major, int *minor)
{
    bool boot_block = (device->cur_major & BOOT_BLOCK_BIT) != 0;
    *major = boot_block ? 0 : device->cur_major;
    *minor = boot_block ? 0 : device->cur_minor;
}

bool in_execution_result(const DEVICES_INFO *device)
{
    return device->image != nullptr &&
           (is_answering_board(device->status) || device->status == DS_FLASHED || device->status == DS_FLASH_FAILED);
}

void xml_inventory(const DAT_FILE_INFO *info)
{
    printf("%s", XML_DECLARATION);
    printf("%s", INVENTORY_OPEN);
    for (uint16_t row = 0; row < const_glob_devices_count; row++) {
        const DEVICES_INFO *device = &info->devices[row];
        if (!is_answering_board(device->status))
            continue;
        int major;
        int minor;
        board_version(device, &major, &minor);
        printf(DEVICE_OPEN, COMPONENT_ID, COMPONENT_DISPLAY);
        printf(APPLICATION_LEAF, major, minor, DEVICE_NAME_PRINT_WIDTH, device->name);
        printf("%s", DEVICE_CLOSE);
    }
    printf("%s", INVENTORY_CLOSE);
}

void print_status_block(DEVICE_STATUS status)
{
    if (status == DS_FLASHED) {
        printf("%s%s%s", STATUS_TRUE, MESSAGE_UPDATED, STATUS_CLOSE);
    } else if (status == DS_FLASH_FAILED) {
        // A failed update must not read as a successful one.
        printf("%s%s%s", STATUS_FALSE, MESSAGE_FAILED, STATUS_CLOSE);
    } else {
        printf("%s%s%s", STATUS_FALSE, MESSAGE_NOT_UPDATED, STATUS_CLOSE);
    }
}

void xml_result(const DAT_FILE_INFO *info)
{
    bool any_updated = false;
    printf("%s", XML_DECLARATION);
    printf("%s", EXECUTION_OPEN);
    for (uint16_t row = 0; row < const_glob_devices_count; row++) {
        const DEVICES_INFO *device = &info->devices[row];
        if (!in_execution_result(device))
            continue;
        int major;
        int minor;
        board_version(device, &major, &minor);
        printf(DEVICE_OPEN, COMPONENT_ID, COMPONENT_DISPLAY);
        printf(APPLICATION_OPEN, major, minor, DEVICE_NAME_PRINT_WIDTH, device->name);
        printf(PACKAGE, device->image->rev_major, device->image->rev_minor);
        print_status_block(device->status);
        printf("%s", APPLICATION_CLOSE);
        printf("%s", DEVICE_CLOSE);
        any_updated = any_updated || device->status == DS_FLASHED;
    }
    if (any_updated)
        printf("%s", REBOOT_NOT_REQUIRED);
    printf("%s", EXECUTION_CLOSE);
}

// Without a library or a known platform there is nothing to say about boards.
bool has_empty_form(RETURN_CODE code)
{
    return code == RC_LOAD_LIBRARY_FAILED || code == RC_PLATFORM_NOT_SUPPORTED;
}

RETURN_CODE xml_fail(RETURN_CODE code, const char *open, const char *close, const char *empty)
{
    printf("%s", XML_DECLARATION);
    if (has_empty_form(code)) {
        printf("%s", empty);
        return code;
    }
    printf("%s", open);
    printf("%s", STATUS_FALSE);
    printf(MESSAGE_CODE, code, ErrorCode2String(code));
    printf("%s", STATUS_CLOSE);
    printf("%s", close);
    return code;
}

RETURN_CODE xml_inv_fail(RETURN_CODE code)
{
    return xml_fail(code, INVENTORY_OPEN, INVENTORY_CLOSE, INVENTORY_EMPTY);
}

RETURN_CODE xml_exec_fail(RETURN_CODE code)
{
    return xml_fail(code, EXECUTION_OPEN, EXECUTION_CLOSE, EXECUTION_EMPTY);
}

// The codes after which the device table holds a report worth printing.
bool reports_boards(RETURN_CODE code)
{
    switch (code) {
    case RC_SUCCESS:
    case RC_DEVICE_NOT_FOUND:
    case RC_FLASH_FAILED:
    case RC_FAILED_FLASH_GETID:
    case RC_ENTER_FW_XFER_FAILED:
    case RC_EXIT_FW_XFER_FAILED:
    case RC_EXIT_OK:
        return true;
    default:
        return false;
    }
}

}  // namespace

RETURN_CODE process_xml(RETURN_CODE code, const DAT_FILE_INFO *info)
{
    // A rejected command line has already said all there is to say.
    if (code == RC_OPTION_ERROR || s_xmldisp == XML_NONE)
        return code;
    bool boards = reports_boards(code) && info->devices != nullptr;
    if (s_xmldisp == XML_INVENTORY) {
        if (!boards)
            return xml_inv_fail(code);
        xml_inventory(info);
        return RC_SUCCESS;
    }
    if (!boards)
        return xml_exec_fail(code);
    xml_result(info);
    return code;
}

void set_xml_display(XML_DISPLAY_OPTION option)
{
    if (option < XML_OPTION_COUNT)
        s_xmldisp = option;
}

XML_DISPLAY_OPTION get_xml_display()
{
    return s_xmldisp;
}

void dup_constructor() {}
void dup_destructor() {}
