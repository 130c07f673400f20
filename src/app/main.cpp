// SPDX-License-Identifier: GPL-3.0-or-later
// Program control: brings the modules up in their fixed order, runs the chain
// of stages over one run record, and turns the final code into the exit status.
#include "app/main.h"

#include <cstdio>
#include <cstring>

#include "app/records.h"
#include "app/recovery.h"
#include "cli/options.h"
#include "datafile/datahandler.h"
#include "datafile/file_handler.h"
#include "datafile/proc_crc.h"
#include "datafile/trust.h"
#include "flash/bp_flash.h"
#include "flash/device_handler.h"
#include "flash/flash_run.h"
#include "flash/discovery.h"
#include "ipmi/bmc_fw.h"
#include "ipmi/driver.h"
#include "output/display.h"
#include "output/dup.h"
#include "output/print.h"

namespace {

constexpr char DEFAULT_DATA_FILE[] = "fwpack.dat";
constexpr size_t DEFAULT_DATA_FILE_BOUND = 16;
constexpr char MAKER_NOTICE[] = "Copyright (c) 2026 The Velmoran Developers";

uint8_t banner_state = 0;

}  // namespace

void display_flash_rev()
{
    if (banner_state == 1)
        return;
    char text[TEXT_FIELD_SIZE];
    snprintf(text, sizeof text, "\n   Velmoran Version:  %s \n", VELMORAN_VERSION);
    display_redirection(PRT_INFO, text);
    snprintf(text, sizeof text, "   %s\n", MAKER_NOTICE);
    display_redirection(PRT_INFO, text);
    banner_state = 1;
}

void main_constructor()
{
    bmc_fw_constructor();
    datahandler_constructor();
    driver_constructor();
    device_handler_constructor();
    print_constructor();
    proc_crc_constructor();
    display_constructor();
    bp_flash_constructor();
    file_handler_constructor();
    options_contructor();
    dup_constructor();
}

void main_destructor()
{
    dup_destructor();
    options_destructor();
    file_handler_destructor();
    bp_flash_destructor();
    display_destructor();
    proc_crc_destructor();
    print_destructor();
    device_handler_destructor();
    driver_destructor();
    recovery_destructor();
    datahandler_destructor();
    bmc_fw_destructor();
}

namespace {

// The flash run notes its changes in the run's record and holds its stop requests.
constexpr FLASH_RUN_HOOKS RUN_BOOKKEEPING = {
    recovery_note_panel_locked, recovery_note_panel_restored, recovery_pending_panel, recovery_note_users_stopped,
    recovery_note_board,        run_catch_stops,              run_stop_signal,        run_stop_answered,
};

// A stage's code, or a stop request that came meanwhile: the chain ends and
// the program then ends as the request asks, once the server is put back.
bool carry_on(RETURN_CODE *code)
{
    if (*code == RC_SUCCESS && run_stop_signal() != 0)
        *code = RC_FAILED;
    return *code == RC_SUCCESS;
}

}  // namespace

int velmoran_main(int argc, char **argv)
{
    claim_standard_streams();
    DAT_FILE_INFO info{};
    uint8_t loop_flag = 0;
    strncpy(info.data_file_name, DEFAULT_DATA_FILE, DEFAULT_DATA_FILE_BOUND);

    main_constructor();
    set_flash_run_hooks(&RUN_BOOKKEEPING);

    RETURN_CODE code = translate_options(argc, argv, &loop_flag, &info);
    // One run per target: nothing acts on the server before the lock is held.
    if (code == RC_SUCCESS)
        code = take_run_lock();
    if (code == RC_SUCCESS)
        code = prepare_driver_service();
    if (carry_on(&code))
        code = load_driver();
    if (carry_on(&code))
        code = recover_interrupted_run();
    if (carry_on(&code))
        code = enable_ipmb_channel();
    if (carry_on(&code))
        code = get_devices_list(&info);
    if (carry_on(&code))
        code = device_lookup(&info);
    if (carry_on(&code)) {
        code = load_data_file(info.data_file_name);
        if (code == RC_SUCCESS)
            code = data_file_handler(&info);
    }
    // A missing data file still lets the boards' current revisions be shown.
    if (carry_on(&code) || code == RC_FILE_NOT_FOUND)
        code = display_information(&info, code);
    // Only a run that may flash gets here: the revision-only and inventory
    // modes have ended, so they never refuse an unsigned file.
    if (carry_on(&code))
        code = check_data_file_trust(info.data_file_name);
    if (carry_on(&code)) {
        check_images_revision(&info);
        if (carry_on(&code)) {
            code = start_flash(&info);
            while (loop_flag == 1 && code == RC_SUCCESS && !flash_stop_requested())
                code = start_flash(&info);
            end_flash_run();
        }
    }
    code = process_xml(code, &info);
    if (code == RC_EXIT_OK)
        code = RC_SUCCESS;

    main_destructor();
    run_end_as_asked();
    return code;
}
