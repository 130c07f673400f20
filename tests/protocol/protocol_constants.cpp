// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the protocol's and the data file's numbers as the program, the
// simulated platform and fwpack define them, as one JSON object: the Python
// tests read them from here instead of typing them again.
#include <cstdio>

#include "datafile/datafile_format.h"
#include "flash/bp_flash.h"
#include "flash/discovery.h"
#include "ipmi/hapi_packet.h"
#include "ipmi/ipmi_commands.h"
#include "sim_image.h"
#include "sim_state.h"

namespace {

bool first = true;

void number(const char *name, unsigned long value)
{
    printf("%s\n  \"%s\": %lu", first ? "{" : ",", name, value);
    first = false;
}

void text(const char *name, const char *value)
{
    printf("%s\n  \"%s\": \"%s\"", first ? "{" : ",", name, value);
    first = false;
}

}  // namespace

int main()
{
    number("BMC_SLAVE_ADDRESS", BMC_SLAVE_ADDRESS);
    number("NETFN_CHASSIS", NETFN_CHASSIS);
    number("NETFN_APP", NETFN_APP);
    number("NETFN_FIRMWARE", NETFN_FIRMWARE);
    number("CMD_GET_DEVICE_ID", CMD_GET_DEVICE_ID);
    number("CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE", CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE);
    number("CMD_GET_CHASSIS_STATUS", CMD_GET_CHASSIS_STATUS);
    number("CMD_SET_FRONT_PANEL_ENABLES", CMD_SET_FRONT_PANEL_ENABLES);
    number("CMD_ENTER_FW_XFER", CMD_ENTER_FW_XFER);
    number("CMD_FW_DATA", CMD_FW_DATA);
    number("CMD_EXIT_FW_XFER", CMD_EXIT_FW_XFER);
    number("DEVICE_ID_ANSWER_LENGTH", DEVICE_ID_ANSWER_LENGTH);
    number("UNLOCK_CODE_LENGTH", UNLOCK_CODE_LENGTH);
    number("HAPI_REQUEST_DATA_MAX", HAPI_REQUEST_DATA_MAX);
    number("TRANSFER_SIZE", TRANSFER_SIZE);
    number("TRANSFER_BASE_ADDRESS", TRANSFER_BASE_ADDRESS);
    number("CHUNK_SIZE", CHUNK_SIZE);
    number("FLASH_START", qrxsim::FLASH_START);
    number("FLASH_SIZE", qrxsim::FLASH_SIZE);
    number("SIM_IMAGE_REVISION_MAJOR_OFFSET", SIM_IMAGE_REVISION_MAJOR_OFFSET);
    number("SIM_IMAGE_REVISION_MINOR_OFFSET", SIM_IMAGE_REVISION_MINOR_OFFSET);
    number("PRIMARY", devices_information[0].slave_address);
    number("SECONDARY", devices_information[1].slave_address);
    number("MEDIA_BAY", devices_information[2].slave_address);
    number("DATA_FILE_VERSION", DATA_FILE_VERSION);
    text("DATA_FILE_SIGNATURE", DATA_FILE_SIGNATURE);
    number("DATA_FILE_SIGNATURE_SIZE", DATA_FILE_SIGNATURE_SIZE);
    number("DATA_FILE_SIGNATURE_OFFSET", offsetof(DAT_FILE_HDR, signature));
    number("DATA_FILE_RESERVED_OFFSET", offsetof(DAT_FILE_HDR, reserved));
    number("DATA_FILE_CRC_SIZE", DATA_FILE_CRC_SIZE);
    number("FILE_HEADER_SIZE", sizeof(DAT_FILE_HDR));
    number("IMAGE_HEADER_SIZE", sizeof(IMAGE_HDR));
    number("BACKPLANE_DEVICE_TYPE", BACKPLANE_DEVICE_TYPE);
    printf("\n}\n");
    return 0;
}
