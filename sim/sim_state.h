// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated platform's state: system ID, BMC, boards and injected faults,
// read from and written back to the human-readable state file. Both simulated
// libraries build on this one model (format in sim/README.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrxsim {

constexpr char STATE_ENVIRONMENT[] = "QRXSIM_STATE";
constexpr char REQUEST_LOG_ENVIRONMENT[] = "QRXSIM_LOG";
// The platform's lock file, when it must not lie beside the state file.
constexpr char LOCK_ENVIRONMENT[] = "QRXSIM_LOCK";
constexpr char SERVICE_FILE_NAME[] = "service.txt";

// The board's flash as the transfer protocol sees it.
constexpr uint32_t FLASH_START = 0x1000;
constexpr uint32_t FLASH_END = 0xC000;  // one past the last address
constexpr uint32_t FLASH_SIZE = FLASH_END - FLASH_START;
constexpr uint8_t ERASED_BYTE = 0xFF;

constexpr int ERASE_FOREVER = -1;
constexpr int DEFAULT_ERASE_BUSY = 2;
constexpr int FAULT_ALWAYS = -1;
constexpr uint8_t DEFAULT_FRONT_PANEL = 0xF0;
constexpr int DEFAULT_CHASSIS_STATUS_LENGTH = 4;
constexpr uint16_t DEFAULT_SYSTEM_ID = 0x016D;
constexpr uint16_t HOST_INFO_SUCCESS = 1;

enum class HostInfoForm {
    automatic,
    plain,
    escape,
    fail
};
enum class UnlockRefusal {
    none,
    first,
    both
};
enum class FaultKind {
    completion_code,
    driver_status,
    no_exchange,
    short_answer,
    overlong_answer,
    signal
};

struct Revision {
    uint8_t major = 0x01;  // firmware revision 1 as reported: bit 7 = boot block
    uint8_t minor = 0x05;  // firmware revision 2, BCD
};

struct Board {
    uint8_t address = 0;
    Revision revision;
    bool silent = false;
    int erase_busy = DEFAULT_ERASE_BUSY;  // Get Device ID requests unanswered after ENTER
    UnlockRefusal unlock_refused = UnlockRefusal::none;
    int refuse_chunk = 0;  // 1-based data command refused on every attempt; 0: none
    bool refuse_exit = false;
    bool silent_after_flash = false;
    bool revision_after_flash_set = false;
    Revision revision_after_flash;

    // Run-time state, not kept in the state file.
    bool in_transfer = false;
    int erase_left = 0;
    int chunks_accepted = 0;
    bool flash_touched = false;  // erased or written this run: save the image
    std::vector<uint8_t> flash;  // FLASH_SIZE bytes once touched
};

struct Fault {
    int target = -1;  // -1: any
    int netfn = -1;
    int command = -1;
    FaultKind kind = FaultKind::completion_code;
    uint8_t completion_code = 0xC0;
    int signal_number = 0;         // FaultKind::signal: sent to the calling process
    int remaining = FAULT_ALWAYS;  // matching requests still affected
    int pass_first = 0;            // matching requests let through before the rule starts
    std::string text;              // as written, for the state file
};

struct Platform {
    uint16_t system_id = DEFAULT_SYSTEM_ID;
    HostInfoForm host_info = HostInfoForm::automatic;
    uint16_t host_info_failure = 0;  // what a failing entry returns
    uint8_t front_panel = DEFAULT_FRONT_PANEL;
    bool bmc_silent = false;
    int chassis_status_length = DEFAULT_CHASSIS_STATUS_LENGTH;
    bool remote = false;  // the library says it reaches the BMC over the network
    std::vector<Board> boards;
    std::vector<Fault> faults;
};

// The built-in platform: system 0x016D, both backplanes at 1.05, no media bay.
Platform default_platform();

// Reads the state file named by QRXSIM_STATE, or the built-in platform when
// the variable is unset. Lines it cannot read are reported on stderr and
// skipped.
Platform load_platform();
bool parse_platform(const std::string &text, Platform *platform, std::string *error);
std::string render_platform(const Platform &platform);

// The folder of the state file ("" without one): images and service state live there.
std::string state_folder();
// Whether the stand-in driver service is installed and running (true without a state folder).
bool service_running();

}  // namespace qrxsim
