// SPDX-License-Identifier: GPL-3.0-or-later
// The driver module: owns the two library handles and their entries, and the
// driver service's state as the start-up probe found it. Loads the host
// management library and, at the end, puts the service back as it was.
#include "ipmi/driver.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipmi/bmc_fw.h"
#include "output/print.h"

namespace {

// The two scripts, and the service commands run through the shell exactly
// as written.
constexpr char INSTALL_SCRIPT[] = "./tesselinstall.sh";
constexpr char INIT_SCRIPT[] = "/etc/init.d/pelord";
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
constexpr char SHELL_PATH[] = "/bin/sh";
constexpr uint16_t LINK_IS_REMOTE = 1;

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
// The library reaches its BMC over the network: the local service is none of its business.
bool remote_library = false;
// What load_driver changed, and what a gone run changed and this run puts back.
bool service_changed = false;
DRIVER_SERVICE_CHANGE adopted_change = DRIVER_SERVICE_UNTOUCHED;

constexpr char SCRIPT_REFUSED_FORMAT[] = "\r   Not running %s: %s %s \n";
constexpr char CURRENT_DIRECTORY[] = "the current directory";
constexpr char IS_NOT_REGULAR[] = "is not a regular file";
constexpr char IS_NOT_DIRECTORY[] = "is not a directory";
constexpr char BELONGS_TO_OTHER_USER[] = "belongs to another user";
constexpr char WRITABLE_BY_OTHERS[] = "is writable by other users";
constexpr char CANNOT_BE_CHECKED[] = "cannot be checked";
constexpr mode_t WRITABLE_BY_GROUP_OR_OTHERS = S_IWGRP | S_IWOTH;

// One warning per script in a run, however often it is refused.
bool install_script_refused = false;
bool init_script_refused = false;

enum SCRIPT_VERDICT : uint8_t {
    SCRIPT_RUN,        // nobody but root or this user can change what the path leads to
    SCRIPT_SKIP,       // missing where another user could still plant it
    SCRIPT_REFUSED,
};

struct SCRIPT_CHECK {
    SCRIPT_VERDICT verdict;
    char subject[TEXT_FIELD_SIZE];    // the file or directory at fault
    const char *reason;
};

bool owned_by_us(const struct stat &status)
{
    return status.st_uid == 0 || status.st_uid == geteuid();
}

SCRIPT_CHECK refuse(const char *subject, const char *reason)
{
    SCRIPT_CHECK check{SCRIPT_REFUSED, {}, reason};
    snprintf(check.subject, sizeof check.subject, "%s", strcmp(subject, ".") == 0 ? CURRENT_DIRECTORY : subject);
    return check;
}

// Root runs the script by its path, so the check covers everything that path
// goes through: each directory from the first (the root or the current
// directory) to the script's own, then the script. When none of them can be
// changed by anyone but root or this user, the path cannot lead elsewhere
// between this check and the shell running it.
SCRIPT_CHECK check_script(const char *path)
{
    char directory[TEXT_FIELD_SIZE];
    const size_t length = strnlen(path, sizeof directory - 1);
    // Sticky and root's: others may add names, though not touch root's.
    bool shared = false;
    bool missing = false;
    for (size_t end = 0; end < length && !missing; end++) {
        if (path[end] != '/')
            continue;
        if (end == 0) {
            snprintf(directory, sizeof directory, "/");
        } else {
            memcpy(directory, path, end);
            directory[end] = '\0';
        }
        struct stat status {};
        if (stat(directory, &status) != 0) {
            if (errno != ENOENT)
                return refuse(directory, CANNOT_BE_CHECKED);
            missing = true;
            break;
        }
        if (!S_ISDIR(status.st_mode))
            return refuse(directory, IS_NOT_DIRECTORY);
        if (status.st_uid == 0 && (status.st_mode & S_ISVTX) != 0) {
            shared = shared || (status.st_mode & WRITABLE_BY_GROUP_OR_OTHERS) != 0;
            continue;
        }
        if (!owned_by_us(status))
            return refuse(directory, BELONGS_TO_OTHER_USER);
        if ((status.st_mode & WRITABLE_BY_GROUP_OR_OTHERS) != 0)
            return refuse(directory, WRITABLE_BY_OTHERS);
    }
    struct stat status {};
    if (!missing && lstat(path, &status) != 0) {
        if (errno != ENOENT)
            return refuse(path, CANNOT_BE_CHECKED);
        missing = true;
    }
    // A missing script is left to the shell, which fails to run it, unless
    // someone else could put one there before the shell looks.
    if (missing)
        return {shared ? SCRIPT_SKIP : SCRIPT_RUN, {}, nullptr};
    if (!S_ISREG(status.st_mode))
        return refuse(path, IS_NOT_REGULAR);
    if (!owned_by_us(status))
        return refuse(path, BELONGS_TO_OTHER_USER);
    if ((status.st_mode & WRITABLE_BY_GROUP_OR_OTHERS) != 0)
        return refuse(path, WRITABLE_BY_OTHERS);
    return {SCRIPT_RUN, {}, nullptr};
}

// The shell as system() starts it ("sh -c", so the script's $0 is the
// command's own word), but without ignoring the interrupt and quit signals
// in this process meanwhile: a stop request during a script is kept.
int run_shell(const char *command)
{
    char shell_name[] = "sh";
    char command_flag[] = "-c";
    char *arguments[] = {shell_name, command_flag, const_cast<char *>(command), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, SHELL_PATH, nullptr, nullptr, arguments, environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// Runs one of the service commands through the shell, unless its script
// could have been changed by another user; such a script is never run, and
// the command then counts as one that could not run.
int run_checked(const char *script, const char *command, bool *refused_before)
{
    SCRIPT_CHECK check = check_script(script);
    if (check.verdict == SCRIPT_RUN)
        return run_shell(command);
    if (check.verdict == SCRIPT_REFUSED && !*refused_before) {
        *refused_before = true;
        char text[3 * TEXT_FIELD_SIZE];
        snprintf(text, sizeof text, SCRIPT_REFUSED_FORMAT, script, check.subject, check.reason);
        display_redirection(PRT_ERROR, text);
    }
    return -1;
}

int run_install_script(const char *command)
{
    return run_checked(INSTALL_SCRIPT, command, &install_script_refused);
}

// Failures of the service commands are not looked at: a driver that did not
// come up shows as a library that cannot be loaded or as failing commands.
void run_init_script(const char *command)
{
    (void)run_checked(INIT_SCRIPT, command, &init_script_refused);
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

// Whether the IPMI library says it reaches the BMC over the network. The
// entry is optional: a library without it is local, as is one that cannot
// be loaded yet (its driver is not installed). Opened and closed again, so
// the library is loaded for the run only after the service is up.
bool library_is_remote()
{
    void *library = dlopen(HAPI_IPMI_LIBRARY, RTLD_NOW);
    if (library == nullptr)
        return false;
    auto entry = reinterpret_cast<HAPI_LINK_ENTRY>(dlsym(library, HAPI_LINK_ENTRY_NAME));
    bool remote = entry != nullptr && entry() == LINK_IS_REMOTE;
    dlclose(library);
    return remote;
}

}  // namespace

void driver_constructor()
{
    set_system_id(NO_FIXED_SYSTEM_ID);
    current_hapi_status = HAPI_USERS_UNTOUCHED;
    install_script_refused = false;
    init_script_refused = false;
    flash_installed_driver = 0;
    flash_started_driver = 0;
    remote_library = false;
    service_changed = false;
    adopted_change = DRIVER_SERVICE_UNTOUCHED;
    guard_from_log(LOG_GUARD_INSTALL_SCRIPT, INSTALL_SCRIPT);
    guard_from_log(LOG_GUARD_INIT_SCRIPT, INIT_SCRIPT);
}

void probe_driver_service()
{
    remote_library = library_is_remote();
    if (remote_library)
        return;
    int status = run_install_script(COMMAND_CHECKSTATUS);
    // Anything but the two known answers (a missing script, a signal, another
    // exit status) leaves the service as the system stands.
    flash_installed_driver = status == PROBE_DRIVER_NOT_INSTALLED ? 1 : 0;
    flash_started_driver = status == PROBE_SERVICE_NOT_RUNNING ? 1 : 0;
}

DRIVER_SERVICE_CHANGE driver_service_change()
{
    if (flash_installed_driver == 1)
        return DRIVER_SERVICE_INSTALLED;
    return flash_started_driver == 1 ? DRIVER_SERVICE_STARTED : DRIVER_SERVICE_UNTOUCHED;
}

void driver_service_change_refused()
{
    flash_installed_driver = 0;
    flash_started_driver = 0;
}

void driver_adopt_service_change(DRIVER_SERVICE_CHANGE change)
{
    if (!remote_library && driver_service_change() == DRIVER_SERVICE_UNTOUCHED)
        adopted_change = change;
}

bool driver_is_remote()
{
    return remote_library;
}

bool driver_users_to_stop()
{
    return !remote_library && current_hapi_status == HAPI_USERS_UNTOUCHED;
}

RETURN_CODE load_driver()
{
    if (flash_installed_driver == 1)
        (void)run_install_script(COMMAND_INSTALL);
    if (flash_started_driver == 1)
        run_init_script(COMMAND_START);
    service_changed = flash_installed_driver == 1 || flash_started_driver == 1;

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
    if (driver_users_to_stop()) {
        run_init_script(COMMAND_STOPUSERS);
        current_hapi_status = HAPI_USERS_STOPPED;
    }
}

void driver_hapi_start()
{
    if (current_hapi_status == HAPI_USERS_STOPPED) {
        run_init_script(COMMAND_STARTUSERS);
        current_hapi_status = HAPI_USERS_RESTARTED;
    }
}

void driver_destructor()
{
    close_libraries();
    // Only what this run (or the gone run it took over from) changed is put
    // back; uninstalling or stopping the service takes the place of
    // restarting its users.
    bool installed = (service_changed && flash_installed_driver == 1) || adopted_change == DRIVER_SERVICE_INSTALLED;
    bool started = (service_changed && flash_started_driver == 1) || adopted_change == DRIVER_SERVICE_STARTED;
    if (installed)
        (void)run_install_script(COMMAND_UNINSTALL);
    else if (started)
        run_init_script(COMMAND_STOP);
    else
        driver_hapi_start();
}

void driver_restart_users()
{
    if (!remote_library)
        run_init_script(COMMAND_STARTUSERS);
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
