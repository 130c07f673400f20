// SPDX-License-Identifier: GPL-3.0-or-later
// The recovery record's file: its layout, its text form both ways, and
// reading, replacing and removing it in the state folder without following
// or waiting on anything planted there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/records.h"

constexpr char RECOVERY_RECORD_NAME[] = "recovery";
constexpr size_t RECOVERY_BOOT_ID_SIZE = 37;       // a UUID and its terminator
constexpr size_t RECOVERY_TEXT_SIZE = 512;          // a record as text, and a reason
constexpr size_t RECOVERY_PATH_SIZE = 4096;

// What a run did to the driver service, to be undone at its end.
enum RECOVERY_SERVICE : uint8_t {
    RECOVERY_SERVICE_UNTOUCHED = 0,
    RECOVERY_SERVICE_STARTED = 1,
    RECOVERY_SERVICE_INSTALLED = 2,
};

#pragma pack(push, 1)
struct RECOVERY_RECORD {
    uint32_t pid;
    uint64_t start_time;                       // the process's start, in clock ticks after boot
    char boot_id[RECOVERY_BOOT_ID_SIZE];       // the boot it ran in
    uint8_t panel_locked;                      // 1: the front panel waits for panel_byte
    uint8_t panel_byte;                        // the front-panel byte to put back
    uint8_t users_stopped;                     // 1: the service's users wait for startusers
    uint8_t board_address;                     // board in transfer, 0: none
    char board_name[DEVICE_NAME_SIZE + 1];
    uint8_t service;                           // RECOVERY_SERVICE
};
#pragma pack(pop)
static_assert(sizeof(RECOVERY_RECORD) == 4 + 8 + 37 + 4 + 41 + 1);
static_assert(offsetof(RECOVERY_RECORD, panel_locked) == 49);
static_assert(offsetof(RECOVERY_RECORD, board_name) == 53);
static_assert(offsetof(RECOVERY_RECORD, service) == 94);

enum RECOVERY_READ : uint8_t {
    RECOVERY_NONE = 0,         // no record
    RECOVERY_FOUND = 1,        // a record that can be trusted
    RECOVERY_UNTRUSTED = 2,    // something is there, but it is not a record to act on
};

// The record as text, and back; parsing is strict and takes nothing else.
size_t recovery_format(const RECOVERY_RECORD *record, char *text, size_t size);
bool recovery_parse(const char *text, RECOVERY_RECORD *record);

// Reads the record in `folder`; on RECOVERY_UNTRUSTED `reason` says why.
RECOVERY_READ recovery_read(const char *folder, RECOVERY_RECORD *record, char *reason, size_t reason_size);
// Replaces the record in an existing `folder` in one step.
bool recovery_write(const char *folder, const RECOVERY_RECORD *record);
bool recovery_remove(const char *folder);
// Fills in who this process is (pid, start time, boot).
void recovery_identify_self(RECOVERY_RECORD *record);
// Whether the process that wrote the record still runs.
bool recovery_owner_alive(const RECOVERY_RECORD *record);
