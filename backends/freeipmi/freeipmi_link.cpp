// SPDX-License-Identifier: GPL-3.0-or-later
// The LINK_OPS seam on FreeIPMI: opens an in-band or LAN 2.0 context,
// sends requests to the BMC directly and to any other address bridged over
// the primary IPMB, and reads FreeIPMI's error numbers for the session logic.
#include <dirent.h>
#include <linux/ipmi.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <freeipmi/freeipmi.h>

#include "backend_session.h"
#include "ipmi/ipmi_commands.h"
#include "ipmi_link.h"

namespace {

constexpr uint16_t IPMI_LAN_PORT = 623;
constexpr size_t HOST_TEXT_SIZE = CONFIG_TEXT_SIZE + 8;
// The kernel's OpenIPMI device nodes: /dev/ipmi0, /dev/ipmi/0, /dev/ipmidev/0.
constexpr char KERNEL_DEVICE_PREFIX[] = "/dev/ipmi";
constexpr int FD_SCAN_LIMIT = 64;
constexpr int KERNEL_RESENDS = 0;
constexpr unsigned int KERNEL_ANSWER_WAIT_MS = 2000;

bool opening_refused(int errnum)
{
    switch (errnum) {
    case IPMI_ERR_PERMISSION:
    case IPMI_ERR_USERNAME_INVALID:
    case IPMI_ERR_PASSWORD_INVALID:
    case IPMI_ERR_K_G_INVALID:
    case IPMI_ERR_PRIVILEGE_LEVEL_INSUFFICIENT:
    case IPMI_ERR_PRIVILEGE_LEVEL_CANNOT_BE_OBTAINED:
    case IPMI_ERR_AUTHENTICATION_TYPE_UNAVAILABLE:
    case IPMI_ERR_CIPHER_SUITE_ID_UNAVAILABLE:
    case IPMI_ERR_PASSWORD_VERIFICATION_TIMEOUT:
    case IPMI_ERR_IPMI_2_0_UNAVAILABLE: return true;
    default: return false;
    }
}

void lan_host(const BACKEND_CONFIG *config, char *host, size_t host_size)
{
    if (config->port == IPMI_LAN_PORT)
        snprintf(host, host_size, "%s", config->host);
    else
        snprintf(host, host_size, "%s:%u", config->host, static_cast<unsigned>(config->port));
}

int open_lan(ipmi_ctx_t context, const BACKEND_CONFIG *config, char *detail, size_t detail_size)
{
    char password[CONFIG_PASSWORD_MAX + 1] = {};
    if (!config_read_password(config, password, sizeof password, detail, detail_size))
        return -2;
    char host[HOST_TEXT_SIZE];
    lan_host(config, host, sizeof host);
    int result = ipmi_ctx_open_outofband_2_0(
        context, host, config->user, password, nullptr, 0, config->privilege, config->cipher_suite,
        config->session_timeout_ms, config->retransmission_timeout_ms, config->workaround_flags, IPMI_FLAGS_DEFAULT);
    explicit_bzero(password, sizeof password);
    return result;
}

// The descriptors this process has open on a kernel IPMI device, as a bit
// per descriptor number below FD_SCAN_LIMIT.
uint64_t kernel_device_descriptors()
{
    uint64_t found = 0;
    DIR *folder = opendir("/proc/self/fd");
    if (folder == nullptr)
        return 0;
    while (const dirent *entry = readdir(folder)) {
        char *end = nullptr;
        long descriptor = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || descriptor < 0 || descriptor >= FD_SCAN_LIMIT)
            continue;
        char link[64];
        char target[64] = {};
        snprintf(link, sizeof link, "/proc/self/fd/%ld", descriptor);
        if (readlink(link, target, sizeof target - 1) > 0 &&
            strncmp(target, KERNEL_DEVICE_PREFIX, sizeof KERNEL_DEVICE_PREFIX - 1) == 0)
            found |= uint64_t{1} << descriptor;
    }
    closedir(folder);
    return found;
}

// The kernel resends an unanswered bridged request on its own, by default
// four times 2 s apart: each of the program's attempts at a silent board
// would cost 10 s, and an unlock or data command could reach a board again
// behind the program's back. Every attempt is the program's to make, so the
// device that FreeIPMI opened sends each request once and gives up after
// the kernel's usual wait.
void send_each_request_once(uint64_t descriptors_before)
{
    uint64_t opened = kernel_device_descriptors() & ~descriptors_before;
    ipmi_timing_parms timing{KERNEL_RESENDS, KERNEL_ANSWER_WAIT_MS};
    for (int descriptor = 0; descriptor < FD_SCAN_LIMIT; descriptor++)
        if ((opened >> descriptor) & 1)
            ioctl(descriptor, IPMICTL_SET_TIMING_PARMS_CMD, &timing);
}

int open_inband(ipmi_ctx_t context, const BACKEND_CONFIG *config)
{
    const char *device = config->driver_device[0] != '\0' ? config->driver_device : nullptr;
    uint64_t descriptors_before = kernel_device_descriptors();
    ipmi_driver_type_t type = IPMI_DEVICE_UNKNOWN;
    int result;
    if (config->inband_driver == INBAND_AUTO) {
        int located =
            ipmi_ctx_find_inband(context, &type, 0, 0, 0, device, config->workaround_flags, IPMI_FLAGS_DEFAULT);
        // 0: probed every driver and found none.
        result = located == 1 ? 0 : located == 0 ? 1 : -1;
    } else {
        type = config->inband_driver == INBAND_OPENIPMI ? IPMI_DEVICE_OPENIPMI
            : config->inband_driver == INBAND_KCS       ? IPMI_DEVICE_KCS
                                                        : IPMI_DEVICE_SSIF;
        result = ipmi_ctx_open_inband(context, type, 0, 0, 0, device, config->workaround_flags, IPMI_FLAGS_DEFAULT);
    }
    if (result == 0 && type == IPMI_DEVICE_OPENIPMI)
        send_each_request_once(descriptors_before);
    return result;
}

LINK_RESULT link_open(const BACKEND_CONFIG *config, void **link, char *detail, size_t detail_size)
{
    *link = nullptr;
    ipmi_ctx_t context = ipmi_ctx_create();
    if (context == nullptr) {
        snprintf(detail, detail_size, "cannot create an IPMI context: out of memory");
        return LINK_FAILED;
    }
    int opened = config->interface == INTERFACE_LAN ? open_lan(context, config, detail, detail_size)
                                                    : open_inband(context, config);
    if (opened == 0) {
        *link = context;
        return LINK_OK;
    }
    LINK_RESULT result = LINK_FAILED;
    if (opened == -2) {
        result = LINK_REFUSED;  // password file unusable; detail already says why
    } else if (config->interface == INTERFACE_INBAND) {
        int errnum = ipmi_ctx_errnum(context);
        result = opened == 1 ? LINK_NOT_FOUND : freeipmi_classify_error(errnum, true);
        if (result == LINK_NOT_FOUND)
            snprintf(detail, detail_size, "no in-band IPMI interface found (OpenIPMI driver, KCS or SSIF)");
        else
            snprintf(detail, detail_size, "cannot open the in-band IPMI interface: %s", ipmi_ctx_errormsg(context));
    } else {
        char host[HOST_TEXT_SIZE];
        lan_host(config, host, sizeof host);
        result = freeipmi_classify_error(ipmi_ctx_errnum(context), true);
        if (result == LINK_NOT_FOUND)
            snprintf(detail, detail_size, "no BMC answered at %s", host);
        else if (result == LINK_REFUSED)
            snprintf(detail, detail_size, "the BMC at %s refused the session: %s", host, ipmi_ctx_errormsg(context));
        else
            snprintf(detail, detail_size, "cannot open a session with the BMC at %s: %s", host,
                     ipmi_ctx_errormsg(context));
    }
    ipmi_ctx_destroy(context);
    return result;
}

LINK_RESULT link_exchange(void *link, const LINK_REQUEST *request, uint8_t *answer, size_t answer_capacity,
                          size_t *answer_length)
{
    ipmi_ctx_t context = static_cast<ipmi_ctx_t>(link);
    *answer_length = 0;
    int received;
    if (request->slave_address == BMC_SLAVE_ADDRESS)
        received = ipmi_cmd_raw(context, request->lun, request->netfn, request->bytes,
                                static_cast<unsigned int>(request->length), answer,
                                static_cast<unsigned int>(answer_capacity));
    else
        received = ipmi_cmd_raw_ipmb(context, IPMB_PRIMARY_CHANNEL, request->slave_address, request->lun,
                                     request->netfn, request->bytes, static_cast<unsigned int>(request->length), answer,
                                     static_cast<unsigned int>(answer_capacity));
    // A raw answer counts even when FreeIPMI flags its completion code: the
    // code goes back to the program, which decides what a refusal means.
    if (received >= 0) {
        *answer_length = static_cast<size_t>(received);
        return LINK_OK;
    }
    return freeipmi_classify_error(ipmi_ctx_errnum(context), false);
}

void link_close(void *link)
{
    ipmi_ctx_t context = static_cast<ipmi_ctx_t>(link);
    ipmi_ctx_close(context);
    ipmi_ctx_destroy(context);
}

constexpr LINK_OPS freeipmi_ops = {link_open, link_exchange, link_close};

}  // namespace

const LINK_OPS *freeipmi_link_ops()
{
    return &freeipmi_ops;
}

LINK_RESULT freeipmi_classify_error(int errnum, bool opening)
{
    if (opening) {
        if (opening_refused(errnum))
            return LINK_REFUSED;
        if (errnum == IPMI_ERR_CONNECTION_TIMEOUT || errnum == IPMI_ERR_SESSION_TIMEOUT ||
            errnum == IPMI_ERR_DEVICE_NOT_FOUND || errnum == IPMI_ERR_DEVICE_NOT_SUPPORTED)
            return LINK_NOT_FOUND;
        return LINK_FAILED;
    }
    switch (errnum) {
    case IPMI_ERR_SESSION_TIMEOUT:
    case IPMI_ERR_CONNECTION_TIMEOUT:
    case IPMI_ERR_DEVICE_NOT_OPEN:
    case IPMI_ERR_CTX_INVALID: return LINK_SESSION_LOST;
    case IPMI_ERR_MESSAGE_TIMEOUT:
    case IPMI_ERR_DRIVER_TIMEOUT:
    case IPMI_ERR_DRIVER_BUSY:
    case IPMI_ERR_BMC_BUSY:
    // A bridged request that the BMC could not deliver (the board NAKed).
    case IPMI_ERR_BAD_COMPLETION_CODE:
    case IPMI_ERR_COMMAND_INVALID_OR_UNSUPPORTED: return LINK_NO_ANSWER;
    default: return LINK_FAILED;
    }
}
