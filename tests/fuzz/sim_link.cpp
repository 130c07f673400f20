// SPDX-License-Identifier: GPL-3.0-or-later
// The fuzz targets' link to the simulated platform: its libraries are loaded
// by their full paths before the driver module asks the loader for them by
// bare name (so the loader hands back the ones already loaded), and the
// target's handler takes the IPMI library's answers over through its test hook.
#include "sim_link.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

#include <initializer_list>

#include "fuzz_check.h"
#include "ipmi/driver.h"
#include "qrxsim_hooks.h"
#include "seams.h"

namespace {

SleepRecord sleeps;

// Every wait of the program reaches the one seam, which never sleeps; the
// target counts them here.
int count_sleep(long long microseconds)
{
    // libFuzzer's own threads sleep through the seam too: they really sleep,
    // and only the program's thread (the process's first) is counted.
    if (gettid() != getpid()) {
        struct timespec wait {};
        wait.tv_sec = static_cast<time_t>(microseconds / 1000000);
        wait.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
        syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, 0, &wait, nullptr);
        return 0;
    }
    sleeps.calls++;
    sleeps.microseconds += static_cast<uint64_t>(microseconds);
    sleeps.last_microseconds = static_cast<uint64_t>(microseconds);
    return 0;
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

void sim_link_load(SimExchange exchange)
{
    void *ipmi = dlopen(SIM_IPMI_LIBRARY_PATH, RTLD_NOW);
    FUZZ_CHECK(ipmi != nullptr, "cannot load %s: %s", SIM_IPMI_LIBRARY_PATH, dlerror());
    FUZZ_CHECK(dlopen(SIM_BASE_LIBRARY_PATH, RTLD_NOW) != nullptr, "cannot load %s: %s", SIM_BASE_LIBRARY_PATH,
               dlerror());
    auto set_responder = reinterpret_cast<QRXSIM_SET_RESPONDER>(dlsym(ipmi, QRXSIM_SET_RESPONDER_NAME));
    FUZZ_CHECK(set_responder != nullptr, "the simulated library has no test hook");
    set_responder(exchange);
    FUZZ_CHECK(load_driver() == RC_SUCCESS, "load_driver did not take the simulated library");
    FUZZ_CHECK(get_hapi_ipmi_entry() != nullptr, "no IPMI entry after loading");
}
