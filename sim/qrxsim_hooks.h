// SPDX-License-Identifier: GPL-3.0-or-later
// Test hooks of the simulated IPMI library, beyond the library contract: a
// unit test may take over the answers to see and shape the raw records.
#pragma once

#include <cstdint>

#include "ipmi/hapi_packet.h"

extern "C" {
// Answers every request in place of the emulated platform while set (null
// gives the platform back); requests are still logged.
typedef uint16_t (*QRXSIM_RESPONDER)(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response);
typedef void (*QRXSIM_SET_RESPONDER)(QRXSIM_RESPONDER responder);
}

constexpr char QRXSIM_SET_RESPONDER_NAME[] = "qrxsim_set_responder";
