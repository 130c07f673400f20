// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated base library: answers the host-information query with the
// platform's system ID, escaped through 0xFE when it does not fit a byte, or
// fails as the state file says. Reads the state file, never writes it.
#include "ipmi/hapi_packet.h"
#include "sim_state.h"

#define QRXSIM_EXPORT extern "C" __attribute__((visibility("default")))
// The variant without the entry exports it under another name only.
#ifdef QRXSIM_WITHOUT_ENTRY
#define QRXSIM_HOST_INFO_ENTRY qrxsim_withheld_host_info_entry
#else
#define QRXSIM_HOST_INFO_ENTRY QRXBASHostInfoEx
#endif

namespace {

constexpr uint16_t LARGEST_PLAIN_ID = 0xFF;

bool loaded = false;
qrxsim::Platform platform;

}  // namespace

QRXSIM_EXPORT uint16_t QRXSIM_HOST_INFO_ENTRY(uint8_t *system_id, uint16_t *extended_id, uint32_t *area)
{
    using qrxsim::HostInfoForm;
    if (!loaded) {
        platform = qrxsim::load_platform();
        loaded = true;
    }
    if (platform.host_info == HostInfoForm::fail)
        return platform.host_info_failure;
    bool escaped = platform.host_info == HostInfoForm::escape ||
        (platform.host_info == HostInfoForm::automatic && platform.system_id > LARGEST_PLAIN_ID);
    if (escaped) {
        *system_id = HOST_INFO_EXTENDED_ID;
        *extended_id = platform.system_id;
    } else {
        // A plain byte: what does not fit is lost, as on a platform that cannot say more.
        *system_id = static_cast<uint8_t>(platform.system_id);
    }
    *area = 0;
    return qrxsim::HOST_INFO_SUCCESS;
}
