// The fuzz targets' stand-in platform: loads the stand-in library by its full
// path before the driver module asks the loader for it by bare name (so the
// loader hands back the one already loaded), routes its entries to the
// target's handler, and counts the sleeps the one seam keeps from happening.
#include "fake_platform.h"

#include <dlfcn.h>
#include <unistd.h>

#include <initializer_list>

#include "fuzz_check.h"
#include "ipmi/driver.h"
#include "seams.h"

namespace {

FakeExchange installed_exchange = nullptr;
SleepRecord sleeps;

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

// Every wait of the program reaches the one seam, which never sleeps; the
// target counts them here.
void count_sleep(long long microseconds)
{
    sleeps.calls++;
    sleeps.microseconds += static_cast<uint64_t>(microseconds);
    sleeps.last_microseconds = static_cast<uint64_t>(microseconds);
}

const bool sleeps_counted = [] {
    seams_on_sleep(count_sleep);
    return true;
}();

}  // namespace

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
