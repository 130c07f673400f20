// SPDX-License-Identifier: GPL-3.0-or-later
// The management library binding and its driver service: the start-up probe,
// loading the two library files and entries, and restoring the service.
#pragma once

#include "app/records.h"
#include "ipmi/hapi_packet.h"

void driver_constructor();
RETURN_CODE load_driver();
void driver_hapi_stop();
void driver_hapi_start();
// Restarts the users that a run which is gone left stopped.
void driver_restart_users();
void driver_destructor();

// Whether the library carried out its last exchange at all, answered or
// not: false means the BMC itself is out of reach, not merely a board behind it.
void note_library_exchange(bool carried_out);
bool library_exchanged_last();

// The loaded entries, or null while the library is not loaded.
HAPI_IPMI_ENTRY get_hapi_ipmi_entry();
HAPI_HOST_INFO_ENTRY get_hapi_host_info_entry();
