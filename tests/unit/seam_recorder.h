// SPDX-License-Identifier: GPL-3.0-or-later
// What a unit test sees through the one seam (tests/shim/seams.h): every
// sleep, shell command and library load of the test program in order, shell
// commands answered with a chosen status (never run), and the library names
// resolved to build/sim. Include from exactly one file per test program.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipmi/driver.h"
#include "ipmi/hapi_packet.h"
#include "seams.h"

namespace seams {

// Every interposed call, in order: "sleep 200000", "system <command>", "dlopen <file> <mode>".
inline std::vector<std::string> events;
inline std::vector<unsigned> sleeps_us;
// Sleeps still to be cut short by a signal (usleep fails with EINTR).
inline int interrupted_sleeps = 0;
inline std::map<std::string, int> system_status;            // by command; 0 otherwise
inline std::map<std::string, std::string> library_paths;    // bare name -> file to open
inline std::function<void(const std::string &)> on_system;  // called before a command is answered

inline std::string build_dir()
{
    const char *dir = getenv("VELMORAN_BUILD_DIR");
    return dir != nullptr ? dir : "build";
}

inline void reset()
{
    events.clear();
    sleeps_us.clear();
    interrupted_sleeps = 0;
    system_status.clear();
    on_system = nullptr;
    library_paths = {
        {HAPI_IPMI_LIBRARY, build_dir() + "/sim/" + HAPI_IPMI_LIBRARY},
        {HAPI_BASE_LIBRARY, build_dir() + "/sim/" + HAPI_BASE_LIBRARY},
    };
}

inline std::vector<std::string> events_of(const std::string &kind)
{
    std::vector<std::string> found;
    for (const std::string &event : events) {
        if (event.rfind(kind + " ", 0) == 0)
            found.push_back(event.substr(kind.size() + 1));
    }
    return found;
}

// Whether a library is loaded now, asked without leaving a reference behind.
inline bool is_loaded(const char *bare_name)
{
    void *handle = seams_real_dlopen(library_paths[bare_name].c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr)
        dlclose(handle);
    return handle != nullptr;
}

}  // namespace seams

namespace seams {

inline int record_sleep(long long microseconds)
{
    events.push_back("sleep " + std::to_string(microseconds));
    sleeps_us.push_back(static_cast<unsigned>(microseconds));
    if (interrupted_sleeps > 0) {
        interrupted_sleeps--;
        return 1;
    }
    return 0;
}

inline int answer_system(const char *command)
{
    events.push_back(std::string("system ") + command);
    if (on_system)
        on_system(command);
    auto status = system_status.find(command);
    return status == system_status.end() ? 0 : status->second;
}

inline const char *resolve_library(const char *file, int mode)
{
    std::string name = file != nullptr ? file : "";
    events.push_back("dlopen " + name + " " + std::to_string(mode));
    auto path = library_paths.find(name);
    return path != library_paths.end() ? path->second.c_str() : file;
}

// Takes the seam's hooks for this test program, before any test runs.
inline const bool installed = [] {
    seams_on_sleep(record_sleep);
    seams_on_system(answer_system);
    seams_on_dlopen(resolve_library);
    return true;
}();

}  // namespace seams

// A platform state for the simulated libraries in a fresh folder; loading the
// driver reads it, unloading writes it back with the request log.
class SimulatedPlatform {
public:
    explicit SimulatedPlatform(const std::string &state)
    {
        char folder_template[] = "/tmp/velmoran_unit_XXXXXX";
        folder_ = mkdtemp(folder_template);
        write(state_path(), state);
        setenv("QRXSIM_STATE", state_path().c_str(), 1);
        setenv("QRXSIM_LOG", log_path().c_str(), 1);
    }

    ~SimulatedPlatform()
    {
        // A newer platform may already have taken the variables over.
        const char *current = getenv("QRXSIM_STATE");
        if (current != nullptr && current == state_path()) {
            unsetenv("QRXSIM_STATE");
            unsetenv("QRXSIM_LOG");
        }
        remove_folder();
    }

    std::string state_path() const { return folder_ + "/platform.txt"; }
    std::string log_path() const { return folder_ + "/requests.log"; }
    std::string folder() const { return folder_; }

    // Request log lines ("C0 18 01"); complete once the library is unloaded.
    std::vector<std::string> requests() const
    {
        std::vector<std::string> lines;
        std::istringstream text(read(log_path()));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    std::string state() const { return read(state_path()); }

    static std::string read(const std::string &path)
    {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    static void write(const std::string &path, const std::string &text)
    {
        std::ofstream file(path, std::ios::binary);
        file << text;
    }

    void remove_folder()
    {
        for (const char *name :
             {"platform.txt", "requests.log", "service.txt", "board_c0.bin", "board_c2.bin", "board_c4.bin"})
            unlink((folder_ + "/" + name).c_str());
        rmdir(folder_.c_str());
    }

    std::string folder_;
};
