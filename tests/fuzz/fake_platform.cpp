// SPDX-License-Identifier: GPL-3.0-or-later
// The fuzz targets' stand-in platform: loads the stand-in library by its full
// path before the driver module asks the loader for it by bare name (so the
// loader hands back the one already loaded), routes its entries to the
// target's handler, and replaces the sleep so no fuzz case ever waits.
#include "fake_platform.h"

#include <dlfcn.h>
#include <unistd.h>

#include <initializer_list>

#include "fuzz_check.h"
#include "ipmi/driver.h"

namespace {

FakeExchange installed_exchange = nullptr;
SleepRecord sleeps;

}  // namespace

extern "C" uint16_t fuzz_hapi_ipmi_exchange(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    FUZZ_CHECK(installed_exchange != nullptr, "the library was called before a target installed its handler");
    return installed_exchange(request, response);
}

extern "C" uint16_t fuzz_hapi_host_info(uint8_t *system_id, uint16_t *, uint32_t *)
{
    *system_id = 0;
    return 0;
}

// Every wait of the program goes through here: counted, never slept.
extern "C" int usleep(useconds_t microseconds)
{
    sleeps.calls++;
    sleeps.microseconds += microseconds;
    sleeps.last_microseconds = microseconds;
    return 0;
}

SleepRecord &recorded_sleeps()
{
    return sleeps;
}

void fake_platform_load(FakeExchange exchange)
{
    installed_exchange = exchange;
    for (const char *path : {FAKE_IPMI_LIBRARY_PATH, FAKE_BASE_LIBRARY_PATH})
        FUZZ_CHECK(dlopen(path, RTLD_NOW) != nullptr, "cannot load %s: %s", path, dlerror());
    FUZZ_CHECK(load_driver() == RC_SUCCESS, "load_driver did not take the stand-in library");
    FUZZ_CHECK(get_hapi_ipmi_entry() != nullptr, "no IPMI entry after loading");
}
