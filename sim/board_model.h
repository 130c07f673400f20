// SPDX-License-Identifier: GPL-3.0-or-later
// The one model of the BMC and the boards behind it: the firmware-transfer
// protocol, the erase counted in polls, the revision a board reports after
// EXIT, and the fault rules. It works on a Platform (sim_state.h) in memory
// and does no process or file I/O: the simulated libraries, the ipmi_sim
// module, the unit tests and the fuzz targets all drive this same code.
#pragma once

#include <cstdint>

#include "ipmi/hapi_packet.h"
#include "sim_state.h"

namespace qrxsim {

// Completion codes the simulated controllers answer with.
constexpr uint8_t CC_OK = 0x00;
constexpr uint8_t CC_NODE_BUSY = 0xC0;
constexpr uint8_t CC_INVALID_COMMAND = 0xC1;
constexpr uint8_t CC_TIMEOUT = 0xC3;
constexpr uint8_t CC_REQUEST_LENGTH_INVALID = 0xC7;
constexpr uint8_t CC_PARAMETER_OUT_OF_RANGE = 0xC9;
constexpr uint8_t CC_CANNOT_RETURN_BYTES = 0xCA;
constexpr uint8_t CC_INVALID_DATA = 0xCC;
constexpr uint8_t CC_NOT_IN_PRESENT_STATE = 0xD5;

// Driver statuses of the simulated library (0 is success).
constexpr uint32_t DRIVER_STATUS_TIMEOUT = 0x0E;
constexpr uint32_t DRIVER_STATUS_BAD_REQUEST = 0x16;

// What the library entry returns.
constexpr uint16_t ENTRY_CARRIED_OUT = 1;
constexpr uint16_t ENTRY_NOT_CARRIED_OUT = 0;

constexpr uint32_t RESPONSE_HEADER_BYTES = HAPI_RESPONSE_DATA_OFFSET - HAPI_LENGTH_BASE;
constexpr uint32_t ANSWER_DATA_MAX = HAPI_RESPONSE_LENGTH_MAX - RESPONSE_HEADER_BYTES;
// A chunk's data bytes follow its two address bytes.
constexpr uint16_t FIRMWARE_DATA_HEADER = 2;

// One controller's answer: the completion code and the data after it.
struct Answer {
    uint32_t driver_status = 0;
    uint8_t completion_code = CC_OK;
    uint32_t length = 0;
    uint8_t data[ANSWER_DATA_MAX] = {};
};

// What the model's driver does outside memory when the platform changes: the
// model itself only says so. Every call has a default that does nothing.
class Observer {
public:
    virtual ~Observer() = default;
    // A setting kept in the state file changed (front panel, a board's
    // transfer state or revision).
    virtual void platform_changed() {}
    // The board entered transfer mode: its flash is erased.
    virtual void board_erased(const Board &) {}
    // `count` bytes were written to the board's flash at `offset` from its start.
    virtual void board_written(const Board &, uint32_t /*offset*/, uint32_t /*count*/) {}
    // A fault rule asks for a signal to the calling process.
    virtual void signal_requested(int /*signal_number*/) {}
};

// A request to the controller at `address` as the BMC routes it: itself at
// BMC_SLAVE_ADDRESS, a board behind it, or nobody (a bridged timeout).
Answer answer_request(Platform &platform, uint8_t address, uint8_t netfn, uint8_t command, const uint8_t *data,
                      uint32_t length, Observer *observer = nullptr);

// One exchange of the library's IPMI entry over the 68-byte records: the
// request checked as the library checks it, the fault rules, the answer.
// `service_up` says whether the driver service that carries the exchange runs.
uint16_t exchange(Platform &platform, bool service_up, const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response,
                  Observer *observer = nullptr);

// The platform as the run leaves it: a board still in transfer mode has no
// complete firmware and comes back from its boot block.
void end_run(Platform &platform);

}  // namespace qrxsim
