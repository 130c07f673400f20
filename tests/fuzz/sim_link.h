// SPDX-License-Identifier: GPL-3.0-or-later
// What the fuzz targets that reach the BMC share: the simulated platform's
// IPMI library loaded through the driver module's own loading, with the
// target's handler answering every request in its place (through the
// library's test hook), and the sleeps the one seam keeps from happening.
#pragma once

#include <cstdint>

#include "ipmi/hapi_packet.h"

// Plays one exchange of the library's IPMI entry.
using SimExchange = uint16_t (*)(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response);

// Loads the simulated libraries through load_driver and hands every request
// to `exchange`; aborts if that fails.
void sim_link_load(SimExchange exchange);

struct SleepRecord {
    unsigned calls = 0;
    uint64_t microseconds = 0;
    uint64_t last_microseconds = 0;
};

SleepRecord &recorded_sleeps();
