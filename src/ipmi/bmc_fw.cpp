// SPDX-License-Identifier: GPL-3.0-or-later
// Controller commands outside the firmware transfer: owns the saved
// front-panel byte with its restore flag and the fixed system ID. Enables the
// IPMB channel, reads a board's revision, locks the panel, finds the system ID.
#include "ipmi/bmc_fw.h"

#include "ipmi/driver.h"
#include "ipmi/hapi_packet.h"
#include "ipmi/ipmi_commands.h"
#include "ipmi/ipmi_transport.h"
#include "output/print.h"

namespace {

constexpr uint8_t CONTROLLER_ATTEMPTS = 5;
constexpr uint16_t CONTROLLER_RETRY_DELAY_MS = 200;

constexpr uint8_t IPMB_CHANNEL = 0x00;
constexpr uint8_t CHANNEL_ENABLE = 0x01;
constexpr uint16_t ENABLE_CHANNEL_REQUEST_LENGTH = 2;

// Get Chassis Status: the fourth data byte, optional in IPMI, is the front
// panel's button capabilities and disable state.
constexpr uint16_t CHASSIS_STATUS_WITH_FRONT_PANEL = 4;
constexpr int FRONT_PANEL_BYTE = 3;
constexpr uint8_t DISABLE_POWER_OFF_BUTTON = 0x01;
constexpr uint8_t DISABLE_DIAGNOSTIC_INTERRUPT_BUTTON = 0x04;
constexpr uint16_t FRONT_PANEL_REQUEST_LENGTH = 1;

constexpr uint8_t FRONT_PANEL_NOT_READ = 0xFF;

constexpr char IPMB_ENABLE_FAILED[] = "   IPMB enable channel failed \n";

uint8_t front_panel_button_enables = FRONT_PANEL_NOT_READ;
uint8_t s_Restore_FP = 0;
uint16_t fixed_id = NO_FIXED_SYSTEM_ID;

void prepare_command(IPMI_DRIVER_STRUCT *cmd, uint16_t request_length)
{
    cmd->request_length = request_length;
    cmd->retry_count = CONTROLLER_ATTEMPTS;
    cmd->retry_delay = CONTROLLER_RETRY_DELAY_MS;
}

RETURN_CODE set_front_panel_enables(uint8_t enables)
{
    IPMI_DRIVER_STRUCT cmd{};
    prepare_command(&cmd, FRONT_PANEL_REQUEST_LENGTH);
    cmd.request_data[0] = enables;
    return exec_command(BMC_SLAVE_ADDRESS, NETFN_CHASSIS, CMD_SET_FRONT_PANEL_ENABLES, &cmd);
}

}  // namespace

RETURN_CODE enable_ipmb_channel()
{
    IPMI_DRIVER_STRUCT cmd{};
    prepare_command(&cmd, ENABLE_CHANNEL_REQUEST_LENGTH);
    cmd.request_data[0] = IPMB_CHANNEL;
    cmd.request_data[1] = CHANNEL_ENABLE;
    if (exec_command(BMC_SLAVE_ADDRESS, NETFN_APP, CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE, &cmd) != RC_SUCCESS) {
        display_redirection(PRT_ERROR, IPMB_ENABLE_FAILED);
        return RC_LOAD_LIBRARY_FAILED;
    }
    return RC_SUCCESS;
}

RETURN_CODE check_device(DEVICES_INFO *device)
{
    IPMI_DRIVER_STRUCT cmd{};
    prepare_command(&cmd, 0);
    RETURN_CODE result = exec_command(device->slave_address, NETFN_APP, CMD_GET_DEVICE_ID, &cmd);
    if (result == RC_SUCCESS) {
        device->cur_major = cmd.response_data[cmd.response_offset + DEVICE_ID_FW_REVISION_1];
        device->cur_minor = cmd.response_data[cmd.response_offset + DEVICE_ID_FW_REVISION_2];
    }
    return result;
}

RETURN_CODE read_power_button_status(uint8_t *enables)
{
    s_Restore_FP = 0;

    IPMI_DRIVER_STRUCT cmd{};
    prepare_command(&cmd, 0);
    RETURN_CODE result = exec_command(BMC_SLAVE_ADDRESS, NETFN_CHASSIS, CMD_GET_CHASSIS_STATUS, &cmd);
    if (result != RC_SUCCESS)
        return result;
    // Without the front-panel byte there is nothing safe to send back later.
    if (cmd.response_length != CHASSIS_STATUS_WITH_FRONT_PANEL)
        return RC_OPTION_ERROR;
    *enables = cmd.response_data[FRONT_PANEL_BYTE];
    return RC_SUCCESS;
}

void lock_power_button(uint8_t saved)
{
    front_panel_button_enables = saved;
    uint8_t second_request = front_panel_button_enables;
    if (set_front_panel_enables(front_panel_button_enables | DISABLE_POWER_OFF_BUTTON) == RC_SUCCESS)
        second_request |= DISABLE_POWER_OFF_BUTTON;
    second_request |= DISABLE_DIAGNOSTIC_INTERRUPT_BUTTON;
    (void)set_front_panel_enables(second_request);
    s_Restore_FP = 1;
}

RETURN_CODE disable_power_button()
{
    uint8_t enables = 0;
    RETURN_CODE result = read_power_button_status(&enables);
    if (result == RC_SUCCESS)
        lock_power_button(enables);
    return result;
}

RETURN_CODE restore_power_button_status()
{
    if (s_Restore_FP == 0)
        return RC_SUCCESS;
    return set_front_panel_enables(front_panel_button_enables);
}

RETURN_CODE restore_front_panel(uint8_t enables)
{
    return set_front_panel_enables(enables);
}

RETURN_CODE get_system_id(unsigned short *system_id)
{
    *system_id = 0;
    HAPI_HOST_INFO_ENTRY host_info = get_hapi_host_info_entry();
    if (host_info != nullptr) {
        uint8_t id_byte = 0;
        uint16_t extended_id = 0;
        uint32_t area = 0;
        // Only 1 counts as success; IDs above 0xFF come through the escape byte.
        if (host_info(&id_byte, &extended_id, &area) == 1)
            *system_id = id_byte == HOST_INFO_EXTENDED_ID ? extended_id : id_byte;
    }
    if (fixed_id != NO_FIXED_SYSTEM_ID)
        *system_id = fixed_id;
    return RC_SUCCESS;
}

RETURN_CODE set_system_id(unsigned short system_id)
{
    fixed_id = system_id;
    return RC_SUCCESS;
}

void bmc_fw_constructor()
{
    // Runs first at start-up; resetting here keeps a fresh start fresh.
    front_panel_button_enables = FRONT_PANEL_NOT_READ;
    s_Restore_FP = 0;
}

void bmc_fw_destructor() {}
