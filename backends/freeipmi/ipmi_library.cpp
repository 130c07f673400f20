// SPDX-License-Identifier: GPL-3.0-or-later
// The IPMI library's entries: the IPMI entry loads the configuration once,
// then hands every request record to the session; the link entry tells
// whether the session is remote. Built as this backend's libqrxipm32.so.
#include <dlfcn.h>

#include <cstdio>
#include <type_traits>

#include <freeipmi/freeipmi.h>

#include "backend_config.h"
#include "backend_message.h"
#include "backend_session.h"
#include "ipmi/hapi_packet.h"

namespace {

bool configuration_failed = false;

}  // namespace

extern "C" __attribute__((visibility("default"))) uint16_t QRXIPMCommand(HAPI_IPMI_PACKET *request,
                                                                         HAPI_IPMI_PACKET *response)
{
    if (!session_is_configured()) {
        if (configuration_failed)
            return 0;
        BACKEND_CONFIG config;
        char error[CONFIG_ERROR_SIZE] = {};
        if (!config_load(config_path(), &config, error, sizeof error)) {
            configuration_failed = true;
            backend_message("%s", error);
            return 0;
        }
        session_reset(freeipmi_link_ops(), &config);
    }
    return session_exchange(request, response);
}

static_assert(std::is_same_v<decltype(&QRXIPMCommand), HAPI_IPMI_ENTRY>);

// A LAN session reaches a BMC elsewhere: the program then leaves this
// server's driver service alone. A configuration that cannot be read says
// nothing here; the first request reports it.
extern "C" __attribute__((visibility("default"))) uint16_t QRXIPMIsRemote()
{
    BACKEND_CONFIG config;
    char error[CONFIG_ERROR_SIZE] = {};
    if (!config_load(config_path(), &config, error, sizeof error))
        return 0;
    return config.interface == INTERFACE_LAN ? 1 : 0;
}

static_assert(std::is_same_v<decltype(&QRXIPMIsRemote), HAPI_LINK_ENTRY>);

// FreeIPMI stays loaded once this library is: libgcrypt under it keeps its
// start-up allocations in its own globals, which unloading would turn into
// leaks. This library itself still unloads when the program closes it.
__attribute__((constructor)) static void keep_freeipmi_loaded()
{
    Dl_info freeipmi{};
    if (dladdr(reinterpret_cast<void *>(&ipmi_ctx_create), &freeipmi) != 0 && freeipmi.dli_fname != nullptr)
        dlopen(freeipmi.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// Ends the session when the program closes the library: a LAN session frees
// one of the BMC's few session slots, and an in-band one closes the kernel
// driver's device, so that the driver service can be stopped or removed
// right after, as the program does.
__attribute__((destructor)) static void close_session_at_unload()
{
    session_unload();
}
