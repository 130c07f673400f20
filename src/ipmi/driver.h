// SPDX-License-Identifier: GPL-3.0-or-later
// The management library binding and its driver service: the start-up probe,
// loading the two library files and entries, and restoring the service.
#pragma once

#include <cstdint>

#include "app/records.h"
#include "ipmi/hapi_packet.h"

// What the run changes in the driver service: the probe's verdict.
enum DRIVER_SERVICE_CHANGE : uint8_t {
    DRIVER_SERVICE_UNTOUCHED = 0,
    DRIVER_SERVICE_STARTED = 1,
    DRIVER_SERVICE_INSTALLED = 2,
};

void driver_constructor();
// After the run lock: asks the library whether it is remote, and otherwise
// the install script how the service stands.
void probe_driver_service();
// What load_driver is about to change, for the caller to note first.
DRIVER_SERVICE_CHANGE driver_service_change();
// The change could not be noted: load_driver makes none.
void driver_service_change_refused();
// A change a gone run made and left: undone at this run's end.
void driver_adopt_service_change(DRIVER_SERVICE_CHANGE change);
// Whether the library reaches its BMC over the network (no local service).
bool driver_is_remote();
// Whether driver_hapi_stop is about to stop the service's users.
bool driver_users_to_stop();
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
