// SPDX-License-Identifier: GPL-3.0-or-later
// What the fuzz targets that reach the BMC share: the stand-in library loaded
// through the driver module's own loading, an exchange handler each target
// installs, and a sleep that records instead of waiting.
#pragma once

#include <cstdint>

#include "ipmi/hapi_packet.h"

// Plays one exchange of the library's IPMI entry.
using FakeExchange = uint16_t (*)(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response);

// Loads the stand-in library through load_driver; aborts if that fails.
void fake_platform_load(FakeExchange exchange);

struct SleepRecord {
    unsigned calls = 0;
    uint64_t microseconds = 0;
    uint64_t last_microseconds = 0;
};

SleepRecord &recorded_sleeps();
