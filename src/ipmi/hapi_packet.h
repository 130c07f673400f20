// SPDX-License-Identifier: GPL-3.0-or-later
// The contract with the host management library: its file and entry names and
// the 68-byte record exchanged with its IPMI entry. The program, the
// simulated platform and every backend library build on this one definition.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char HAPI_IPMI_LIBRARY[] = "libqrxipm32.so";
constexpr char HAPI_BASE_LIBRARY[] = "libqrxbas32.so";
constexpr char HAPI_IPMI_ENTRY_NAME[] = "QRXIPMCommand";
constexpr char HAPI_HOST_INFO_ENTRY_NAME[] = "QRXBASHostInfoEx";
// Optional, and not in the maker's library: returns 1 when the library
// reaches the BMC over the network rather than through this server's driver.
constexpr char HAPI_LINK_ENTRY_NAME[] = "QRXIPMIsRemote";

constexpr uint32_t HAPI_REQUEST_TYPE = 10;       // offset 16 of every request
constexpr size_t HAPI_PACKET_SIZE = 68;
constexpr size_t HAPI_REQUEST_DATA_MAX = 33;      // offsets 30 to 62
constexpr size_t HAPI_LENGTH_BASE = 28;           // lengths count the bytes from here on
constexpr size_t HAPI_COMPLETION_CODE_OFFSET = 30;
constexpr size_t HAPI_RESPONSE_DATA_OFFSET = 31;
// Largest response length the record can carry: every byte from offset 28 to its end.
constexpr uint32_t HAPI_RESPONSE_LENGTH_MAX = HAPI_PACKET_SIZE - HAPI_LENGTH_BASE;

#pragma pack(push, 1)

// Request and response share one layout. In a response, `data[0]` is the
// completion code and the answer data run on from `data[1]` to the end of the
// record (through `slave_address` and `reserved`); read them as raw bytes from
// HAPI_RESPONSE_DATA_OFFSET.
struct HAPI_IPMI_PACKET {
    uint8_t unused[12];
    uint32_t driver_status;      // response: 0 = success
    uint32_t request_type;       // request: HAPI_REQUEST_TYPE
    uint32_t data_length;        // request: bytes from offset 28 (netfn, command, data)
    uint32_t response_length;    // request: expected; response: actual, from offset 28
    uint8_t netfn;               // IPMI network function << 2, LUN 0
    uint8_t command;
    uint8_t data[HAPI_REQUEST_DATA_MAX];
    uint8_t slave_address;
    uint8_t channel;             // 0
    uint8_t reserved[3];         // 0
};

#pragma pack(pop)

static_assert(sizeof(HAPI_IPMI_PACKET) == HAPI_PACKET_SIZE);
static_assert(offsetof(HAPI_IPMI_PACKET, driver_status) == 12);
static_assert(offsetof(HAPI_IPMI_PACKET, request_type) == 16);
static_assert(offsetof(HAPI_IPMI_PACKET, data_length) == 20);
static_assert(offsetof(HAPI_IPMI_PACKET, response_length) == 24);
static_assert(offsetof(HAPI_IPMI_PACKET, netfn) == HAPI_LENGTH_BASE);
static_assert(offsetof(HAPI_IPMI_PACKET, command) == 29);
static_assert(offsetof(HAPI_IPMI_PACKET, data) == HAPI_COMPLETION_CODE_OFFSET);
static_assert(offsetof(HAPI_IPMI_PACKET, slave_address) == 63);
static_assert(offsetof(HAPI_IPMI_PACKET, channel) == 64);

extern "C" {
// Returns 0 when the exchange was not carried out.
typedef uint16_t (*HAPI_IPMI_ENTRY)(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response);
// Returns 1 on success; `extended_id` is meaningful only when `system_id` is 0xFE.
typedef uint16_t (*HAPI_HOST_INFO_ENTRY)(uint8_t *system_id, uint16_t *extended_id, uint32_t *area);
// Returns 1 for a remote BMC, anything else for this server's own.
typedef uint16_t (*HAPI_LINK_ENTRY)();
}

constexpr uint8_t HOST_INFO_EXTENDED_ID = 0xFE;
