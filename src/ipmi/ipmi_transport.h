// SPDX-License-Identifier: GPL-3.0-or-later
// The one road to the BMC and the boards: a command with its attempts and
// delays, one exchange through the library's 68-byte record, and the sleep.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/records.h"

constexpr size_t IPMI_DATA_FIELD_SIZE = 128;

#pragma pack(push, 1)

struct IPMI_DRIVER_STRUCT {
    uint8_t completion_code;
    uint16_t response_length;
    uint16_t request_length;
    uint8_t response_offset;
    uint8_t retry_count;
    uint16_t retry_delay;        // milliseconds after each failed attempt
    uint8_t response_data[IPMI_DATA_FIELD_SIZE];
    uint8_t request_data[IPMI_DATA_FIELD_SIZE];
};

#pragma pack(pop)

static_assert(sizeof(IPMI_DRIVER_STRUCT) == 265);
static_assert(offsetof(IPMI_DRIVER_STRUCT, response_length) == 1);
static_assert(offsetof(IPMI_DRIVER_STRUCT, request_length) == 3);
static_assert(offsetof(IPMI_DRIVER_STRUCT, response_offset) == 5);
static_assert(offsetof(IPMI_DRIVER_STRUCT, retry_count) == 6);
static_assert(offsetof(IPMI_DRIVER_STRUCT, retry_delay) == 7);
static_assert(offsetof(IPMI_DRIVER_STRUCT, response_data) == 9);
static_assert(offsetof(IPMI_DRIVER_STRUCT, request_data) == 137);

RETURN_CODE exec_command(unsigned char slave_address, unsigned char netfn, unsigned char command, IPMI_DRIVER_STRUCT *cmd);
RETURN_CODE hapi_exec_command(unsigned char slave_address, unsigned char netfn, unsigned char command, IPMI_DRIVER_STRUCT *cmd);
void DelayMS(unsigned int milliseconds);
