// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for the host management library, built under both library file
// names: its entries hand every call to the fuzz target that loaded it, which
// exports the two handlers and plays the BMC and the boards itself.
#include <cstdint>

#include "ipmi/hapi_packet.h"

extern "C" uint16_t fuzz_hapi_ipmi_exchange(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response);
extern "C" uint16_t fuzz_hapi_host_info(uint8_t *system_id, uint16_t *extended_id, uint32_t *area);

extern "C" uint16_t QRXIPMCommand(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    return fuzz_hapi_ipmi_exchange(request, response);
}

extern "C" uint16_t QRXBASHostInfoEx(uint8_t *system_id, uint16_t *extended_id, uint32_t *area)
{
    return fuzz_hapi_host_info(system_id, extended_id, area);
}
