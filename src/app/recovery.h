// SPDX-License-Identifier: GPL-3.0-or-later
// The run's bookkeeping: the run lock in the state folder, this run's record
// of what it has changed on the server and not yet put back (the driver
// service, the front-panel lock, the stopped service users, the board in
// transfer), what a run that is gone left behind, and stop requests.
#pragma once

#include <cstdint>

#include "app/recovery_record.h"
#include "app/records.h"

constexpr char RECOVERY_FOLDER_DEFAULT[] = "/var/lib/velmoran";
constexpr char RECOVERY_FOLDER_ENVIRONMENT[] = "VELMORAN_STATE_DIR";
constexpr char RUN_LOCK_NAME[] = "lock";

// The state folder: the environment's choice or the default.
const char *recovery_folder();

// One run per target: checks the state folder (made 0700 when missing) and
// takes its lock, then reads what a run that is gone left behind. Nothing
// may act on the server before it. RC_LOAD_LIBRARY_FAILED when another run
// holds the lock, RC_CANNOT_CREATE_FILE when the folder cannot be trusted or
// the lock cannot be made.
RETURN_CODE take_run_lock();
// Asks the driver module how the service stands and records what this run
// will change in it (or takes over what a gone run changed), before any
// change: RC_CANNOT_CREATE_FILE when the record cannot be written.
RETURN_CODE prepare_driver_service();
// Puts back what a run that is gone left behind; called once the library is
// loaded and before any state is read. RC_LOAD_LIBRARY_FAILED when the front
// panel could not be restored (the record is kept for the next run).
RETURN_CODE recover_interrupted_run();
// The service is back as the run found it: records that and lets go of the lock.
void recovery_destructor();

// This run's changes, each noted before it is made: false when the record
// cannot be written, and the change must then not be made.
bool recovery_note_panel_locked(uint8_t saved_byte);
void recovery_note_panel_restored();
// The byte still to be put back from a lock not yet undone in this process.
bool recovery_pending_panel(uint8_t *saved_byte);
bool recovery_note_users_stopped();
bool recovery_note_board(const DEVICES_INFO *device);   // null: no board in transfer

// Stop requests (SIGINT, SIGTERM, SIGHUP, SIGQUIT) are held from here on,
// except those the process was started ignoring; `restart` lets interrupted
// calls go on (the flash run), otherwise a waiting prompt ends with a no.
void run_catch_stops(bool restart);
// The signal of a stop request not yet answered, or 0.
int run_stop_signal();
// The run has ended on the request by its own means (the flash run).
void run_stop_answered();
// Last of all: a request still unanswered ends the process as the signal asks.
void run_end_as_asked();
