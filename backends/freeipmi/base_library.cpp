// SPDX-License-Identifier: GPL-3.0-or-later
// The base library's host-information entry, answered from the backend's
// configuration. Built as this backend's libqrxbas32.so.
#include <cstdio>
#include <type_traits>

#include "backend_config.h"
#include "backend_message.h"
#include "host_info.h"
#include "ipmi/hapi_packet.h"

extern "C" __attribute__((visibility("default"))) uint16_t QRXBASHostInfoEx(uint8_t *system_id, uint16_t *extended_id,
                                                                            uint32_t *area)
{
    BACKEND_CONFIG config;
    char error[CONFIG_ERROR_SIZE] = {};
    if (!config_load(config_path(), &config, error, sizeof error)) {
        backend_message("%s", error);
        return 0;
    }
    return host_info_report(&config, system_id, extended_id, area);
}

static_assert(std::is_same_v<decltype(&QRXBASHostInfoEx), HAPI_HOST_INFO_ENTRY>);
