// SPDX-License-Identifier: GPL-3.0-or-later
// The host-information entry's answer: the platform's system ID as the
// backend's configuration gives it.
#pragma once

#include <cstdint>

#include "backend_config.h"

// 1 with the ID written (IDs above one byte through the 0xFE escape), or 0
// when the configuration names none.
uint16_t host_info_report(const BACKEND_CONFIG *config, uint8_t *system_id, uint16_t *extended_id, uint32_t *area);
