// SPDX-License-Identifier: GPL-3.0-or-later
// How a simulated board learns the revision of the firmware it was given: a
// simulated image carries the revision in its own bytes, at these offsets from
// the image's first byte (board addresses 0x1002 and 0x1003 once written).
// fwpack makes such images; the simulated boards and the test benches read them.
#pragma once

#include <cstdint>

constexpr uint32_t SIM_IMAGE_REVISION_MAJOR_OFFSET = 2;
constexpr uint32_t SIM_IMAGE_REVISION_MINOR_OFFSET = 3;
