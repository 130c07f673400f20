// SPDX-License-Identifier: GPL-3.0-or-later
// The driver module through its seams: the service commands it hands to the
// shell (recorded, never run), the libraries it opens and closes, and the
// entries it hands out.
#include "ipmi/driver.h"

#include <sys/stat.h>

#include <filesystem>

#include "seam_recorder.h"

namespace {

using Lines = std::vector<std::string>;

const std::string CHECKSTATUS = "./tesselinstall.sh checkstatus > /dev/null 2>&1";
const std::string INSTALL = "./tesselinstall.sh install > /dev/null 2>&1";
const std::string UNINSTALL = "./tesselinstall.sh uninstall > /dev/null 2>&1";
const std::string START = "/etc/init.d/pelord start > /dev/null 2>&1";
const std::string STOP = "/etc/init.d/pelord stop > /dev/null 2>&1";
const std::string STOPUSERS = "/etc/init.d/pelord stopusers > /dev/null 2>&1";
const std::string STARTUSERS = "/etc/init.d/pelord startusers > /dev/null 2>&1";
const std::string FAILED_LOADING = "\r   Failed loading driver \n";

// The probe's status as `system` returns it, then the run's commands.
void start_with_probe(int status)
{
    seams::reset();
    seams::system_status[CHECKSTATUS] = status;
    driver_constructor();
    probe_driver_service();
}

Lines commands_since(size_t first)
{
    Lines commands = seams::events_of("system");
    return Lines(commands.begin() + static_cast<long>(first), commands.end());
}

struct ServiceCase {
    const char *name;
    int probe_status;
    bool flashes;
    Lines at_load;
    Lines at_end;
};

class ServiceTest : public ::testing::TestWithParam<ServiceCase> {};

TEST_P(ServiceTest, runs_the_commands_the_probe_asks_for)
{
    const ServiceCase &c = GetParam();
    start_with_probe(c.probe_status);
    EXPECT_EQ(seams::events_of("system"), Lines{CHECKSTATUS});

    ASSERT_EQ(load_driver(), RC_SUCCESS);
    EXPECT_EQ(commands_since(1), c.at_load);
    size_t before_flash = seams::events_of("system").size();
    if (c.flashes) {
        // Two boards, and a second pass of the loop mode: stopped once only.
        for (int board = 0; board < 3; board++)
            driver_hapi_stop();
        EXPECT_EQ(commands_since(before_flash), Lines{STOPUSERS});
    }
    size_t before_end = seams::events_of("system").size();
    driver_destructor();
    EXPECT_EQ(commands_since(before_end), c.at_end);
}

INSTANTIATE_TEST_SUITE_P(Probe, ServiceTest,
                         ::testing::Values(ServiceCase{"not_installed", 512, false, {INSTALL}, {UNINSTALL}},
                                           ServiceCase{"not_installed_and_flashing", 512, true, {INSTALL}, {UNINSTALL}},
                                           ServiceCase{"not_running", 256, false, {START}, {STOP}},
                                           ServiceCase{"not_running_and_flashing", 256, true, {START}, {STOP}},
                                           ServiceCase{"running", 0, false, {}, {}},
                                           ServiceCase{"running_and_flashing", 0, true, {}, {STARTUSERS}},
                                           ServiceCase{"other_exit_status", 3 << 8, true, {}, {STARTUSERS}},
                                           ServiceCase{"script_missing", 127 << 8, false, {}, {}},
                                           ServiceCase{"killed_by_signal", 9, false, {}, {}},
                                           ServiceCase{"shell_not_run", -1, false, {}, {}},
                                           ServiceCase{"exit_status_2_in_the_low_byte", 2, false, {}, {}}),
                         [](const auto &info) { return std::string(info.param.name); });

struct ChangeCase {
    const char *name;
    int probe_status;
    DRIVER_SERVICE_CHANGE change;        // what the probe says the load will do
    DRIVER_SERVICE_CHANGE adopted;       // what a gone run left
    bool loads;                          // false: the change could not be noted
    Lines at_end;
};

class ChangeTest : public ::testing::TestWithParam<ChangeCase> {};

// Only what this run changed, or took over from a gone run, is put back.
TEST_P(ChangeTest, puts_back_only_what_was_changed)
{
    const ChangeCase &c = GetParam();
    start_with_probe(c.probe_status);
    EXPECT_EQ(driver_service_change(), c.change);
    driver_adopt_service_change(c.adopted);
    if (c.loads) {
        ASSERT_EQ(load_driver(), RC_SUCCESS);
    } else {
        driver_service_change_refused();
        EXPECT_EQ(driver_service_change(), DRIVER_SERVICE_UNTOUCHED);
    }
    size_t before_end = seams::events_of("system").size();
    driver_destructor();
    EXPECT_EQ(commands_since(before_end), c.at_end);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChangeTest,
    ::testing::Values(
        ChangeCase{"installed_here", 512, DRIVER_SERVICE_INSTALLED, DRIVER_SERVICE_UNTOUCHED, true, {UNINSTALL}},
        ChangeCase{"started_here", 256, DRIVER_SERVICE_STARTED, DRIVER_SERVICE_UNTOUCHED, true, {STOP}},
        ChangeCase{"not_noted_so_not_made", 256, DRIVER_SERVICE_STARTED, DRIVER_SERVICE_UNTOUCHED, false, {}},
        ChangeCase{"ended_before_the_load", 512, DRIVER_SERVICE_INSTALLED, DRIVER_SERVICE_UNTOUCHED, false, {}},
        ChangeCase{"started_by_a_gone_run", 0, DRIVER_SERVICE_UNTOUCHED, DRIVER_SERVICE_STARTED, true, {STOP}},
        ChangeCase{"installed_by_a_gone_run", 0, DRIVER_SERVICE_UNTOUCHED, DRIVER_SERVICE_INSTALLED, true,
                   {UNINSTALL}},
        // Stopped again since: this run starts it and stops it, once.
        ChangeCase{"gone_run_and_this_one", 256, DRIVER_SERVICE_STARTED, DRIVER_SERVICE_INSTALLED, true, {STOP}}),
    [](const auto &info) { return std::string(info.param.name); });

struct LinkCase {
    const char *name;
    const char *state;           // the simulated platform's state file
    const char *ipmi_library;    // under the build folder
    bool remote;
};

class LinkTest : public ::testing::TestWithParam<LinkCase> {};

// A library that reaches its BMC over the network runs no service script at
// all; one without the entry (as the maker's) or saying local runs them all.
TEST_P(LinkTest, remote_library_leaves_the_service_alone)
{
    const LinkCase &c = GetParam();
    SimulatedPlatform platform(c.state);
    seams::reset();
    seams::library_paths[HAPI_IPMI_LIBRARY] = seams::build_dir() + c.ipmi_library;
    seams::system_status[CHECKSTATUS] = 256;
    driver_constructor();
    probe_driver_service();
    EXPECT_EQ(driver_is_remote(), c.remote);
    EXPECT_EQ(driver_service_change(), c.remote ? DRIVER_SERVICE_UNTOUCHED : DRIVER_SERVICE_STARTED);
    EXPECT_EQ(driver_users_to_stop(), !c.remote);
    (void)load_driver();
    driver_hapi_stop();
    driver_restart_users();
    driver_destructor();
    EXPECT_EQ(seams::events_of("system"),
              c.remote ? Lines{} : (Lines{CHECKSTATUS, START, STOPUSERS, STARTUSERS, STOP}));
    // Asked before the scripts, and closed again: loaded for the run only after them.
    Lines loads = seams::events_of("dlopen");
    ASSERT_FALSE(loads.empty());
    EXPECT_EQ(loads.front(), std::string(HAPI_IPMI_LIBRARY) + " " + std::to_string(RTLD_NOW));
    EXPECT_FALSE(seams::is_loaded(HAPI_IPMI_LIBRARY));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkTest,
    ::testing::Values(LinkCase{"remote", "link remote\n", "/sim/libqrxipm32.so", true},
                      LinkCase{"local", "system_id 0x016D\n", "/sim/libqrxipm32.so", false},
                      LinkCase{"without_the_entry", "link remote\n", "/sim/libqrxbas32.so", false},
                      LinkCase{"not_loadable_before_install", "link remote\n", "/nowhere/libqrxipm32.so", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Service, restarting_users_happens_once_and_never_without_a_stop)
{
    start_with_probe(0);
    driver_hapi_start();
    EXPECT_EQ(seams::events_of("system"), Lines{CHECKSTATUS});
    driver_hapi_stop();
    driver_hapi_start();
    driver_hapi_start();
    driver_hapi_stop();
    EXPECT_EQ(seams::events_of("system"), (Lines{CHECKSTATUS, STOPUSERS, STARTUSERS}));
    driver_destructor();
    EXPECT_EQ(seams::events_of("system").size(), 3u);
}

TEST(Loading, installs_before_opening_both_files_by_bare_name_binding_at_once)
{
    start_with_probe(512);
    ASSERT_EQ(load_driver(), RC_SUCCESS);
    std::string now = std::to_string(RTLD_NOW);
    EXPECT_EQ(seams::events,
              (Lines{"dlopen libqrxipm32.so " + now, "system " + CHECKSTATUS, "system " + INSTALL,
                     "dlopen libqrxipm32.so " + now, "dlopen libqrxbas32.so " + now}));
    EXPECT_NE(get_hapi_ipmi_entry(), nullptr);
    EXPECT_NE(get_hapi_host_info_entry(), nullptr);
    EXPECT_TRUE(seams::is_loaded(HAPI_IPMI_LIBRARY));
    EXPECT_TRUE(seams::is_loaded(HAPI_BASE_LIBRARY));

    // The libraries are closed before the service goes away beneath them.
    bool loaded_at_uninstall = true;
    seams::on_system = [&](const std::string &) { loaded_at_uninstall = seams::is_loaded(HAPI_IPMI_LIBRARY); };
    driver_destructor();
    EXPECT_FALSE(loaded_at_uninstall);
    EXPECT_EQ(get_hapi_ipmi_entry(), nullptr);
    EXPECT_EQ(get_hapi_host_info_entry(), nullptr);
    EXPECT_FALSE(seams::is_loaded(HAPI_IPMI_LIBRARY));
    EXPECT_FALSE(seams::is_loaded(HAPI_BASE_LIBRARY));
}

struct LoadFailureCase {
    const char *name;
    const char *library;      // bare name to replace
    const char *replacement;  // under the build folder; "" for a file that is not there
};

class LoadFailureTest : public ::testing::TestWithParam<LoadFailureCase> {};

TEST_P(LoadFailureTest, leaves_no_library_loaded_and_reports_27)
{
    const LoadFailureCase &c = GetParam();
    start_with_probe(256);
    seams::library_paths[c.library] = seams::build_dir() + c.replacement;

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_driver(), RC_LOAD_LIBRARY_FAILED);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), FAILED_LOADING);
    EXPECT_EQ(get_hapi_ipmi_entry(), nullptr);
    EXPECT_EQ(get_hapi_host_info_entry(), nullptr);
    EXPECT_FALSE(seams::is_loaded(HAPI_IPMI_LIBRARY));
    EXPECT_FALSE(seams::is_loaded(HAPI_BASE_LIBRARY));

    size_t before_end = seams::events.size();
    driver_destructor();
    EXPECT_EQ(Lines(seams::events.begin() + static_cast<long>(before_end), seams::events.end()),
              Lines{"system " + STOP});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadFailureTest,
    ::testing::Values(LoadFailureCase{"ipmi_library_missing", HAPI_IPMI_LIBRARY, "/nowhere/libqrxipm32.so"},
                      LoadFailureCase{"base_library_missing", HAPI_BASE_LIBRARY, "/nowhere/libqrxbas32.so"},
                      LoadFailureCase{"ipmi_entry_missing", HAPI_IPMI_LIBRARY,
                                      "/sim/variants/no_ipmi_entry/libqrxipm32.so"},
                      LoadFailureCase{"host_info_entry_missing", HAPI_BASE_LIBRARY,
                                      "/sim/variants/no_host_info_entry/libqrxbas32.so"}),
    [](const auto &info) { return std::string(info.param.name); });

// The install script as root finds it in the current directory: run only
// when nobody but root (or the running user) can change what its path leads
// to; otherwise one warning, and the probe counts as one that could not run.
constexpr uid_t OTHER_USER = 65534;

struct ScriptCase {
    const char *name;
    mode_t folder_mode;
    uid_t folder_owner;
    const char *script;  // "file", "link" or "none"
    mode_t script_mode;
    uid_t script_owner;
    bool runs;
    const char *warning;  // after "Not running ./tesselinstall.sh: "
};

class ScriptCheckTest : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptCheckTest, runs_the_install_script_only_when_no_one_else_can_change_it)
{
    const ScriptCase &c = GetParam();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another user";
    char folder_template[] = "/tmp/velmoran_script_XXXXXX";
    const std::string folder = mkdtemp(folder_template);
    const std::string script = folder + "/tesselinstall.sh";
    if (std::string(c.script) != "none") {
        std::ofstream(folder + "/real.sh") << "#!/bin/sh\nexit 0\n";
        chmod((folder + "/real.sh").c_str(), 0755);
        if (std::string(c.script) == "link") {
            ASSERT_EQ(symlink("real.sh", script.c_str()), 0);
        } else {
            ASSERT_EQ(rename((folder + "/real.sh").c_str(), script.c_str()), 0);
        }
        ASSERT_EQ(lchown(script.c_str(), c.script_owner, 0), 0);
        if (std::string(c.script) == "file") {
            ASSERT_EQ(chmod(script.c_str(), c.script_mode), 0);
        }
    }
    ASSERT_EQ(chown(folder.c_str(), c.folder_owner, 0), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    char *previous = get_current_dir_name();
    ASSERT_EQ(chdir(folder.c_str()), 0);

    ::testing::internal::CaptureStderr();
    start_with_probe(512);
    std::string warning = ::testing::internal::GetCapturedStderr();
    // Refused or run, the run goes on; the end never runs a refused script.
    ::testing::internal::CaptureStderr();
    (void)load_driver();
    driver_destructor();
    std::string later = ::testing::internal::GetCapturedStderr();

    ASSERT_EQ(chdir(previous), 0);
    free(previous);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(seams::events_of("system"), c.runs ? (Lines{CHECKSTATUS, INSTALL, UNINSTALL}) : Lines{});
    EXPECT_EQ(warning,
              c.warning[0] == '\0' ? "" : std::string("\r   Not running ./tesselinstall.sh: ") + c.warning + " \n");
    EXPECT_EQ(later, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptCheckTest,
    ::testing::Values(ScriptCase{"root_script_in_root_folder", 0755, 0, "file", 0755, 0, true, ""},
                      ScriptCase{"read_only_script", 0755, 0, "file", 0500, 0, true, ""},
                      ScriptCase{"missing_script_in_root_folder", 0755, 0, "none", 0, 0, true, ""},
                      ScriptCase{"root_script_in_sticky_shared_folder", 01777, 0, "file", 0755, 0, true, ""},
                      ScriptCase{"missing_script_in_sticky_shared_folder", 01777, 0, "none", 0, 0, false, ""},
                      ScriptCase{"group_writable_script", 0755, 0, "file", 0775, 0, false,
                                 "./tesselinstall.sh is writable by other users"},
                      ScriptCase{"world_writable_script", 0755, 0, "file", 0757, 0, false,
                                 "./tesselinstall.sh is writable by other users"},
                      ScriptCase{"script_of_another_user", 0755, 0, "file", 0755, OTHER_USER, false,
                                 "./tesselinstall.sh belongs to another user"},
                      ScriptCase{"script_of_another_user_in_sticky_folder", 01777, 0, "file", 0755, OTHER_USER, false,
                                 "./tesselinstall.sh belongs to another user"},
                      ScriptCase{"symbolic_link", 0755, 0, "link", 0, 0, false,
                                 "./tesselinstall.sh is not a regular file"},
                      ScriptCase{"world_writable_folder", 0777, 0, "file", 0755, 0, false,
                                 "the current directory is writable by other users"},
                      ScriptCase{"group_writable_folder", 0775, 0, "none", 0, 0, false,
                                 "the current directory is writable by other users"},
                      ScriptCase{"folder_of_another_user", 0755, OTHER_USER, "file", 0755, 0, false,
                                 "the current directory belongs to another user"},
                      ScriptCase{"sticky_folder_of_another_user", 01777, OTHER_USER, "file", 0755, 0, false,
                                 "the current directory belongs to another user"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
