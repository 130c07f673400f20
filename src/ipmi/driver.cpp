// The driver module: owns the two library handles and their entries, and the
// driver service's state as the start-up probe found it. Loads the host
// management library and, at the end, puts the service back as it was.
#include "ipmi/driver.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>

#include "app/recovery.h"
#include "ipmi/bmc_fw.h"
#include "output/print.h"

namespace {

// The service commands, run through the shell exactly as written.
constexpr char COMMAND_CHECKSTATUS[] = "./tesselinstall.sh checkstatus > /dev/null 2>&1";
constexpr char COMMAND_INSTALL[] = "./tesselinstall.sh install > /dev/null 2>&1";
constexpr char COMMAND_UNINSTALL[] = "./tesselinstall.sh uninstall > /dev/null 2>&1";
constexpr char COMMAND_START[] = "/etc/init.d/pelord start > /dev/null 2>&1";
constexpr char COMMAND_STOP[] = "/etc/init.d/pelord stop > /dev/null 2>&1";
constexpr char COMMAND_STOPUSERS[] = "/etc/init.d/pelord stopusers > /dev/null 2>&1";
constexpr char COMMAND_STARTUSERS[] = "/etc/init.d/pelord startusers > /dev/null 2>&1";

// What `system` returns for the probe, read as one number: the script's exit
// status sits in the second byte.
constexpr int PROBE_DRIVER_NOT_INSTALLED = 512;   // exit status 2
constexpr int PROBE_SERVICE_NOT_RUNNING = 256;    // exit status 1

constexpr char FAILED_LOADING_DRIVER[] = "\r   Failed loading driver \n";

enum HAPI_USERS_STATE : uint8_t {
    HAPI_USERS_UNTOUCHED = 0,
    HAPI_USERS_STOPPED = 1,
    HAPI_USERS_RESTARTED = 2,
};

void *hapi_dll_instance = nullptr;
void *bas_dll_instance = nullptr;
HAPI_IPMI_ENTRY HAPIIPMICommand = nullptr;
HAPI_HOST_INFO_ENTRY HAPIHostInfoEx = nullptr;
uint8_t flash_installed_driver = 0;
uint8_t flash_started_driver = 0;
uint8_t current_hapi_status = HAPI_USERS_UNTOUCHED;
bool last_exchange_carried_out = true;

// Failures of the service commands are not looked at: a driver that did not
// come up shows as a library that cannot be loaded or as failing commands.
void run_service_command(const char *command)
{
    (void)system(command);
}

void close_libraries()
{
    if (hapi_dll_instance != nullptr) {
        dlclose(hapi_dll_instance);
        HAPIIPMICommand = nullptr;
        hapi_dll_instance = nullptr;
    }
    if (bas_dll_instance != nullptr) {
        dlclose(bas_dll_instance);
        HAPIHostInfoEx = nullptr;
        bas_dll_instance = nullptr;
    }
}

}  // namespace

void driver_constructor()
{
    set_system_id(NO_FIXED_SYSTEM_ID);
    current_hapi_status = HAPI_USERS_UNTOUCHED;

    int status = system(COMMAND_CHECKSTATUS);
    // Anything but the two known answers (a missing script, a signal, another
    // exit status) leaves the service as the system stands.
    flash_installed_driver = status == PROBE_DRIVER_NOT_INSTALLED ? 1 : 0;
    flash_started_driver = status == PROBE_SERVICE_NOT_RUNNING ? 1 : 0;
}

RETURN_CODE load_driver()
{
    if (flash_installed_driver == 1)
        run_service_command(COMMAND_INSTALL);
    if (flash_started_driver == 1)
        run_service_command(COMMAND_START);

    hapi_dll_instance = dlopen(HAPI_IPMI_LIBRARY, RTLD_NOW);
    bas_dll_instance = dlopen(HAPI_BASE_LIBRARY, RTLD_NOW);

    if (hapi_dll_instance != nullptr && bas_dll_instance != nullptr) {
        HAPIIPMICommand = reinterpret_cast<HAPI_IPMI_ENTRY>(dlsym(hapi_dll_instance, HAPI_IPMI_ENTRY_NAME));
        HAPIHostInfoEx = reinterpret_cast<HAPI_HOST_INFO_ENTRY>(dlsym(bas_dll_instance, HAPI_HOST_INFO_ENTRY_NAME));
        if (HAPIIPMICommand != nullptr && HAPIHostInfoEx != nullptr)
            return RC_SUCCESS;
    }

    // Half a library is no library: nothing stays loaded.
    close_libraries();
    HAPIIPMICommand = nullptr;
    HAPIHostInfoEx = nullptr;
    display_redirection(PRT_ERROR, FAILED_LOADING_DRIVER);
    return RC_LOAD_LIBRARY_FAILED;
}

void driver_hapi_stop()
{
    // Once per process, also when the flash run repeats.
    if (current_hapi_status != HAPI_USERS_STOPPED && current_hapi_status != HAPI_USERS_RESTARTED) {
        recovery_note_users_stopped();
        run_service_command(COMMAND_STOPUSERS);
        current_hapi_status = HAPI_USERS_STOPPED;
    }
}

void driver_hapi_start()
{
    if (current_hapi_status == HAPI_USERS_STOPPED) {
        run_service_command(COMMAND_STARTUSERS);
        current_hapi_status = HAPI_USERS_RESTARTED;
    }
}

void driver_destructor()
{
    close_libraries();
    // Uninstalling or stopping the service takes the place of restarting its users.
    if (flash_installed_driver == 1)
        run_service_command(COMMAND_UNINSTALL);
    else if (flash_started_driver == 1)
        run_service_command(COMMAND_STOP);
    else
        driver_hapi_start();
    // Uninstalling or stopping the service takes its users along too.
    recovery_note_users_restarted();
}

void driver_restart_users()
{
    run_service_command(COMMAND_STARTUSERS);
}

void note_library_exchange(bool carried_out)
{
    last_exchange_carried_out = carried_out;
}

bool library_exchanged_last()
{
    return last_exchange_carried_out;
}

HAPI_IPMI_ENTRY get_hapi_ipmi_entry()
{
    return HAPIIPMICommand;
}

HAPI_HOST_INFO_ENTRY get_hapi_host_info_entry()
{
    return HAPIHostInfoEx;
}
