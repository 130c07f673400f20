// SPDX-License-Identifier: GPL-3.0-or-later
// The backend's one IPMI session per process and the translation between the
// management library's 68-byte record and a raw IPMI request and answer.
#pragma once

#include <cstdint>

#include "ipmi/hapi_packet.h"
#include "ipmi_link.h"

// Driver status values this backend reports in a response record.
constexpr uint32_t DRIVER_STATUS_SUCCESS = 0;
constexpr uint32_t DRIVER_STATUS_MALFORMED_ANSWER = 1;  // no completion code came back

// Bridged requests go to the boards on the BMC's primary IPMB.
constexpr uint8_t IPMB_PRIMARY_CHANNEL = 0;

// Replaces the link and the configuration and forgets any session; tests
// call it with fakes, the library entry with the real link on first use.
void session_reset(const LINK_OPS *ops, const BACKEND_CONFIG *config);

// Whether session_reset has run since the process started.
bool session_is_configured();

// One exchange for the IPMI entry: returns 0 when nothing was exchanged,
// otherwise 1 with the answer in `response`.
uint16_t session_exchange(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response);

// Closes the session if one is open.
void session_close();

// Closes the session and lets go of the target's lock: the library's unload.
void session_unload();

// Where the per-target lock files live (/run/velmoran unless a test says
// otherwise); the folder is made if missing and must be writable by root alone.
void session_set_lock_folder(const char *folder);
