// SPDX-License-Identifier: GPL-3.0-or-later
// Controller commands against the simulated BMC and boards: the requests they
// send (from the simulator's request log), the front-panel byte arithmetic,
// revisions and the system-ID rules.
#include "ipmi/bmc_fw.h"

#include "seam_recorder.h"

namespace {

using Lines = std::vector<std::string>;

// Loads the driver over the platform in scope, runs `body`, unloads (which
// writes the simulator's request log and state back).
template <typename Body>
void with_driver(Body body)
{
    seams::reset();
    driver_constructor();
    bmc_fw_constructor();
    ASSERT_EQ(load_driver(), RC_SUCCESS) << "simulated library not found under " << seams::build_dir();
    body();
    driver_destructor();
}

struct FrontPanelCase {
    const char *name;
    std::string state;
    RETURN_CODE lock_result;
    Lines lock_requests;
    Lines restore_requests;
};

class FrontPanelTest : public ::testing::TestWithParam<FrontPanelCase> {};

TEST_P(FrontPanelTest, locks_and_restores_the_panel_byte)
{
    const FrontPanelCase &c = GetParam();
    SimulatedPlatform platform(c.state);
    with_driver([&] {
        EXPECT_EQ(disable_power_button(), c.lock_result);
        EXPECT_EQ(restore_power_button_status(), RC_SUCCESS);
    });
    Lines requests = platform.requests();
    Lines expected = c.lock_requests;
    expected.insert(expected.end(), c.restore_requests.begin(), c.restore_requests.end());
    EXPECT_EQ(requests, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FrontPanelTest,
                         ::testing::Values(FrontPanelCase{"both_accepted",
                                                          "front_panel 0xF0\n",
                                                          RC_SUCCESS,
                                                          {"20 00 01", "20 00 0A F1", "20 00 0A F5"},
                                                          {"20 00 0A F0"}},
                                           FrontPanelCase{"whole_byte_kept",
                                                          "front_panel 0x0A\n",
                                                          RC_SUCCESS,
                                                          {"20 00 01", "20 00 0A 0B", "20 00 0A 0F"},
                                                          {"20 00 0A 0A"}},
                                           FrontPanelCase{"power_button_lock_refused",
                                                          "front_panel 0xF0\nfault 0x20 0x00 0x0A cc=0xCC 5\n",
                                                          RC_SUCCESS,
                                                          {"20 00 01", "20 00 0A F1", "20 00 0A F1", "20 00 0A F1",
                                                           "20 00 0A F1", "20 00 0A F1", "20 00 0A F4"},
                                                          {"20 00 0A F0"}},
                                           FrontPanelCase{"chassis_status_without_panel_byte",
                                                          "chassis_status_length 3\n",
                                                          RC_OPTION_ERROR,
                                                          {"20 00 01"},
                                                          {}},
                                           FrontPanelCase{"chassis_status_failing",
                                                          "fault 0x20 0x00 0x01 driver\n",
                                                          RC_FAILED,
                                                          {"20 00 01", "20 00 01", "20 00 01", "20 00 01", "20 00 01"},
                                                          {}}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(FrontPanel, restore_without_a_lock_sends_nothing)
{
    SimulatedPlatform platform("front_panel 0xF0\n");
    with_driver([] {
        EXPECT_EQ(restore_power_button_status(), RC_SUCCESS);
        EXPECT_EQ(enable_ipmb_channel(), RC_SUCCESS);
    });
    EXPECT_EQ(platform.requests(), Lines{"20 18 32 0001"});
}

TEST(FrontPanel, every_lock_reads_the_panel_afresh_and_a_failed_lock_leaves_nothing_to_restore)
{
    SimulatedPlatform platform("front_panel 0x30\nfault 0x20 0x00 0x01 cc=0xC0 5\n");
    with_driver([] {
        // The first lock fails (five refusals), the second reads 0x30.
        EXPECT_EQ(disable_power_button(), RC_FAILED);
        EXPECT_EQ(restore_power_button_status(), RC_SUCCESS);
        EXPECT_EQ(disable_power_button(), RC_SUCCESS);
        EXPECT_EQ(restore_power_button_status(), RC_SUCCESS);
        EXPECT_EQ(disable_power_button(), RC_SUCCESS);
        EXPECT_EQ(restore_power_button_status(), RC_SUCCESS);
    });
    Lines expected(5, "20 00 01");
    for (int pass = 0; pass < 2; pass++)
        expected.insert(expected.end(), {"20 00 01", "20 00 0A 31", "20 00 0A 35", "20 00 0A 30"});
    EXPECT_EQ(platform.requests(), expected);
    EXPECT_NE(platform.state().find("front_panel 0x30\n"), std::string::npos) << platform.state();
}

TEST(FrontPanel, refused_restore_is_reported_to_the_caller)
{
    SimulatedPlatform platform("front_panel 0xF0\nfault 0x20 0x00 0x0A cc=0xD5\n");
    with_driver([] {
        EXPECT_EQ(disable_power_button(), RC_SUCCESS);
        EXPECT_EQ(restore_power_button_status(), RC_FAILED);
    });
    Lines expected{"20 00 01"};
    for (const char *request : {"20 00 0A F1", "20 00 0A F4", "20 00 0A F0"})
        expected.insert(expected.end(), 5, request);
    EXPECT_EQ(platform.requests(), expected);
}

TEST(IpmbChannel, is_enabled_with_channel_0_and_reports_27_when_refused)
{
    SimulatedPlatform platform("fault 0x20 0x18 0x32 cc=0xC1\n");
    with_driver([] {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(enable_ipmb_channel(), RC_LOAD_LIBRARY_FAILED);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "   IPMB enable channel failed \n");
        EXPECT_EQ(seams::sleeps_us, std::vector<unsigned>(5, 200000));
    });
    EXPECT_EQ(platform.requests(), Lines(5, "20 18 32 0001"));
}

struct RevisionCase {
    const char *board;
    uint8_t major;
    uint8_t minor;
};

class CheckDeviceTest : public ::testing::TestWithParam<RevisionCase> {};

TEST_P(CheckDeviceTest, stores_both_revision_bytes_as_reported)
{
    const RevisionCase &c = GetParam();
    SimulatedPlatform platform(std::string("board 0xC2 ") + c.board + "\n");
    with_driver([&] {
        DEVICES_INFO row{};
        row.slave_address = 0xC2;
        EXPECT_EQ(check_device(&row), RC_SUCCESS);
        EXPECT_EQ(row.cur_major, c.major);
        EXPECT_EQ(row.cur_minor, c.minor);
    });
    EXPECT_EQ(platform.requests(), Lines{"C2 18 01"});
}

INSTANTIATE_TEST_SUITE_P(Revisions, CheckDeviceTest,
                         ::testing::Values(RevisionCase{"revision=01.05", 0x01, 0x05},
                                           RevisionCase{"revision=81.05", 0x81, 0x05},
                                           RevisionCase{"revision=7F.99", 0x7F, 0x99}));

TEST(CheckDevice, silent_board_fails_and_leaves_the_row)
{
    SimulatedPlatform platform("board 0xC0 silent\n");
    with_driver([] {
        DEVICES_INFO row{};
        row.slave_address = 0xC0;
        row.cur_major = 0x33;
        row.cur_minor = 0x44;
        EXPECT_EQ(check_device(&row), RC_FAILED);
        EXPECT_EQ(row.cur_major, 0x33);
        EXPECT_EQ(row.cur_minor, 0x44);
        EXPECT_EQ(seams::sleeps_us, std::vector<unsigned>(5, 200000));
    });
    EXPECT_EQ(platform.requests(), Lines(5, "C0 18 01"));
}

struct SystemIdCase {
    const char *name;
    const char *host_info;
    uint16_t platform_id;
    uint16_t fixed_id;
    unsigned short expected;
};

class SystemIdTest : public ::testing::TestWithParam<SystemIdCase> {};

TEST_P(SystemIdTest, takes_the_fixed_id_over_whatever_the_library_says)
{
    const SystemIdCase &c = GetParam();
    char state[64];
    snprintf(state, sizeof state, "system_id 0x%04X\nhost_info %s\n", c.platform_id, c.host_info);
    SimulatedPlatform platform(state);
    with_driver([&] {
        set_system_id(c.fixed_id);
        unsigned short system_id = 0xBEEF;
        EXPECT_EQ(get_system_id(&system_id), RC_SUCCESS);
        EXPECT_EQ(system_id, c.expected);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SystemIdTest,
    ::testing::Values(SystemIdCase{"escaped", "auto", 0x016C, NO_FIXED_SYSTEM_ID, 0x016C},
                      SystemIdCase{"plain_byte", "auto", 0x0042, NO_FIXED_SYSTEM_ID, 0x0042},
                      SystemIdCase{"plain_byte_drops_the_high_byte", "plain", 0x016D, NO_FIXED_SYSTEM_ID, 0x006D},
                      SystemIdCase{"escaped_small_id", "escape", 0x0042, NO_FIXED_SYSTEM_ID, 0x0042},
                      SystemIdCase{"library_fails", "fail", 0x016D, NO_FIXED_SYSTEM_ID, 0},
                      SystemIdCase{"library_returns_2", "fail 2", 0x016D, NO_FIXED_SYSTEM_ID, 0},
                      SystemIdCase{"fixed_overrides", "auto", 0x016D, 0x0170, 0x0170},
                      SystemIdCase{"fixed_overrides_a_failure", "fail", 0x016D, 0x0170, 0x0170},
                      SystemIdCase{"fixed_zero", "auto", 0x016D, 0x0000, 0x0000}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SystemId, fixed_id_applies_without_a_library_and_driver_start_clears_it)
{
    seams::reset();
    driver_constructor();
    unsigned short system_id = 0xBEEF;
    EXPECT_EQ(get_system_id(&system_id), RC_SUCCESS);
    EXPECT_EQ(system_id, 0);
    set_system_id(0x0170);
    EXPECT_EQ(get_system_id(&system_id), RC_SUCCESS);
    EXPECT_EQ(system_id, 0x0170);
    driver_constructor();
    EXPECT_EQ(get_system_id(&system_id), RC_SUCCESS);
    EXPECT_EQ(system_id, 0);
    driver_destructor();
}

}  // namespace
