// SPDX-License-Identifier: GPL-3.0-or-later
// The IPMI commands the program sends: target addresses, network-function
// bytes (network function << 2, LUN 0) and command codes. The program, the
// simulated platform and the test benches all name commands from here.
#pragma once

#include <cstdint>

constexpr uint8_t BMC_SLAVE_ADDRESS = 0x20;

constexpr uint8_t NETFN_CHASSIS = 0x00;
constexpr uint8_t NETFN_APP = 0x18;
constexpr uint8_t NETFN_FIRMWARE = 0x20;

constexpr uint8_t CMD_GET_DEVICE_ID = 0x01;                    // NETFN_APP
constexpr uint8_t CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE = 0x32;   // NETFN_APP
constexpr uint8_t CMD_GET_CHASSIS_STATUS = 0x01;               // NETFN_CHASSIS
constexpr uint8_t CMD_SET_FRONT_PANEL_ENABLES = 0x0A;          // NETFN_CHASSIS
constexpr uint8_t CMD_ENTER_FW_XFER = 0x00;                    // NETFN_FIRMWARE
constexpr uint8_t CMD_FW_DATA = 0x01;                          // NETFN_FIRMWARE
constexpr uint8_t CMD_EXIT_FW_XFER = 0x04;                     // NETFN_FIRMWARE

// Get Device ID answer: firmware revision 1 and 2 are data bytes 2 and 3.
constexpr int DEVICE_ID_FW_REVISION_1 = 2;
constexpr int DEVICE_ID_FW_REVISION_2 = 3;
constexpr int DEVICE_ID_ANSWER_LENGTH = 15;

constexpr uint8_t UNLOCK_CODE_LENGTH = 4;
