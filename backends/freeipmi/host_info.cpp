// SPDX-License-Identifier: GPL-3.0-or-later
// Answers the host-information entry from the configuration; the real
// platform's ID has to be written there because the BMC does not report it
// in any standard IPMI answer.
#include "host_info.h"

#include "ipmi/hapi_packet.h"

uint16_t host_info_report(const BACKEND_CONFIG *config, uint8_t *system_id, uint16_t *extended_id, uint32_t *area)
{
    if (config == nullptr || system_id == nullptr || extended_id == nullptr || area == nullptr ||
        !config->has_system_id)
        return 0;
    if (config->system_id < HOST_INFO_EXTENDED_ID) {
        *system_id = static_cast<uint8_t>(config->system_id);
    } else {
        *system_id = HOST_INFO_EXTENDED_ID;
        *extended_id = config->system_id;
    }
    *area = 0;
    return 1;
}
