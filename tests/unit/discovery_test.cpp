// SPDX-License-Identifier: GPL-3.0-or-later
// Discovery against the simulated platform: the platform table's mapping from
// system ID to boards, the status each row ends in, the revisions stored and
// the requests sent.
#include "flash/discovery.h"

#include <cstring>

#include "seam_recorder.h"

namespace {

using Lines = std::vector<std::string>;

const std::string CLEAR_LINE = "\r" + std::string(74, ' ') + "\r";
const std::string SEARCHING = "\r   Searching for devices ...";

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { memcpy(saved_rows_, devices_information, sizeof saved_rows_); }
    void TearDown() override { memcpy(devices_information, saved_rows_, sizeof saved_rows_); }

    // Runs both stages over a platform; returns (platform stage, discovery stage) results.
    std::pair<RETURN_CODE, RETURN_CODE> discover(const std::string &state)
    {
        platform_ = std::make_unique<SimulatedPlatform>(state);
        seams::reset();
        driver_constructor();
        EXPECT_EQ(load_driver(), RC_SUCCESS) << "simulated library not found under " << seams::build_dir();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        RETURN_CODE platform_result = get_devices_list(&info_);
        RETURN_CODE lookup_result = platform_result == RC_SUCCESS ? device_lookup(&info_) : platform_result;
        stdout_ = ::testing::internal::GetCapturedStdout();
        stderr_ = ::testing::internal::GetCapturedStderr();
        driver_destructor();
        return {platform_result, lookup_result};
    }

    std::vector<DEVICE_STATUS> statuses() const
    {
        return {devices_information[0].status, devices_information[1].status, devices_information[2].status};
    }

    DEVICES_INFO saved_rows_[const_glob_devices_count];
    DAT_FILE_INFO info_{};
    std::unique_ptr<SimulatedPlatform> platform_;
    std::string stdout_;
    std::string stderr_;
};

TEST_F(DiscoveryTest, device_table_rows_start_as_specified)
{
    struct Row {
        uint8_t address;
        uint32_t bit;
        const char *name;
    };
    const Row rows[] = {{0xC0, 2, "Primary Backplane"}, {0xC2, 4, "Secondary Backplane"}, {0xC4, 8, "Media Bay"}};
    for (int i = 0; i < const_glob_devices_count; i++) {
        const DEVICES_INFO &row = devices_information[i];
        EXPECT_EQ(row.slave_address, rows[i].address) << "row " << i;
        EXPECT_EQ(uint32_t{row.device_mask_bit}, rows[i].bit) << "row " << i;
        EXPECT_EQ(uint16_t{row.device_type}, 2) << "row " << i;
        EXPECT_EQ(row.status, DS_INITIAL) << "row " << i;
        EXPECT_STREQ(row.name, rows[i].name);
        EXPECT_EQ(row.cur_major, 0);
        EXPECT_EQ(row.cur_minor, 0);
        EXPECT_EQ(uint32_t{row.reserved_value}, 4096u);
        EXPECT_EQ(static_cast<const IMAGE_HDR *>(row.image), nullptr);
        EXPECT_EQ(std::vector<uint8_t>(row.reserved, row.reserved + 4), std::vector<uint8_t>(4, 0));
    }
}

struct PlatformCase {
    uint16_t system_id;
    uint32_t device_mask;
    uint32_t platform_value;
    std::vector<DEVICE_STATUS> statuses;
};

class PlatformTableTest : public DiscoveryTest, public ::testing::WithParamInterface<PlatformCase> {};

constexpr DEVICE_STATUS E = DS_EXPECTED;
constexpr DEVICE_STATUS A = DS_ABSENT;

TEST_P(PlatformTableTest, marks_the_boards_the_platform_carries)
{
    const PlatformCase &c = GetParam();
    char state[32];
    snprintf(state, sizeof state, "system_id 0x%04X\n", c.system_id);
    platform_ = std::make_unique<SimulatedPlatform>(state);
    seams::reset();
    driver_constructor();
    ASSERT_EQ(load_driver(), RC_SUCCESS);
    EXPECT_EQ(get_devices_list(&info_), RC_SUCCESS);
    driver_destructor();

    EXPECT_EQ(uint16_t{info_.system_id}, c.system_id);
    EXPECT_EQ(uint32_t{info_.device_mask}, c.device_mask);
    EXPECT_EQ(uint32_t{info_.platform_value}, c.platform_value);
    EXPECT_EQ(static_cast<DEVICES_INFO *>(info_.devices), devices_information);
    EXPECT_EQ(statuses(), c.statuses);
    EXPECT_TRUE(platform_->requests().empty()) << "the platform stage sends no IPMI request";
}

INSTANTIATE_TEST_SUITE_P(
    AllRows, PlatformTableTest,
    ::testing::Values(PlatformCase{0x016C, 3, 1, {E, A, A}}, PlatformCase{0x016D, 7, 2, {E, E, A}},
                      PlatformCase{0x016E, 15, 2, {E, E, E}}, PlatformCase{0x017D, 15, 2, {E, E, E}},
                      PlatformCase{0x017E, 15, 2, {E, E, E}}, PlatformCase{0x0183, 1, 3, {A, A, A}},
                      PlatformCase{0x0185, 1, 4, {A, A, A}}, PlatformCase{0x0184, 1, 5, {A, A, A}},
                      PlatformCase{0x016F, 15, 6, {E, E, E}}, PlatformCase{0x0170, 15, 7, {E, E, E}},
                      PlatformCase{0x018A, 1, 8, {A, A, A}}, PlatformCase{0x019A, 1, 9, {A, A, A}}));

TEST_F(DiscoveryTest, unknown_platform_links_the_table_and_leaves_rows_initial)
{
    for (const char *state : {"system_id 0x0171\n", "system_id 0x016C\nhost_info fail\n", "system_id 0x6C\n"}) {
        info_ = DAT_FILE_INFO{};
        auto [platform_result, lookup_result] = discover(state);
        EXPECT_EQ(platform_result, RC_PLATFORM_NOT_SUPPORTED) << state;
        EXPECT_EQ(static_cast<DEVICES_INFO *>(info_.devices), devices_information);
        EXPECT_EQ(uint32_t{info_.device_mask}, 0u);
        EXPECT_EQ(statuses(), (std::vector<DEVICE_STATUS>{DS_INITIAL, DS_INITIAL, DS_INITIAL}));
        EXPECT_EQ(stderr_, "   System not supported \n");
        EXPECT_EQ(stdout_, "");
        EXPECT_TRUE(platform_->requests().empty());
    }
}

TEST_F(DiscoveryTest, silent_board_is_absent_and_the_others_keep_their_revisions)
{
    auto [platform_result, lookup_result] =
        discover("system_id 0x016E\nboard 0xC0 revision=81.05\nboard 0xC2 silent\nboard 0xC4 revision=02.10\n");
    EXPECT_EQ(platform_result, RC_SUCCESS);
    EXPECT_EQ(lookup_result, RC_SUCCESS);
    EXPECT_EQ(statuses(), (std::vector<DEVICE_STATUS>{DS_FOUND, DS_ABSENT, DS_FOUND}));
    EXPECT_EQ(devices_information[0].cur_major, 0x81) << "the boot-block bit stays in the stored byte";
    EXPECT_EQ(devices_information[0].cur_minor, 0x05);
    EXPECT_EQ(devices_information[1].cur_major, 0);
    EXPECT_EQ(devices_information[2].cur_major, 0x02);
    EXPECT_EQ(devices_information[2].cur_minor, 0x10);
    Lines expected{"C0 18 01"};
    expected.insert(expected.end(), 5, "C2 18 01");
    expected.push_back("C4 18 01");
    EXPECT_EQ(platform_->requests(), expected);
    EXPECT_EQ(stdout_, SEARCHING + CLEAR_LINE);
    EXPECT_EQ(stderr_, "");
}

TEST_F(DiscoveryTest, absent_rows_are_not_asked)
{
    auto [platform_result, lookup_result] = discover("system_id 0x016C\nboard 0xC0\nboard 0xC2\nboard 0xC4\n");
    EXPECT_EQ(lookup_result, RC_SUCCESS);
    EXPECT_EQ(statuses(), (std::vector<DEVICE_STATUS>{DS_FOUND, DS_ABSENT, DS_ABSENT}));
    EXPECT_EQ(platform_->requests(), Lines{"C0 18 01"});
}

TEST_F(DiscoveryTest, no_board_answering_reports_no_devices)
{
    for (const char *state : {"system_id 0x0183\nboard 0xC0\n", "system_id 0x016D\nboard 0xC0 silent\n"}) {
        auto [platform_result, lookup_result] = discover(state);
        EXPECT_EQ(platform_result, RC_SUCCESS) << state;
        EXPECT_EQ(lookup_result, RC_DEVICE_NOT_FOUND) << state;
        EXPECT_EQ(statuses(), (std::vector<DEVICE_STATUS>{DS_ABSENT, DS_ABSENT, DS_ABSENT}));
        EXPECT_EQ(stdout_, SEARCHING + CLEAR_LINE) << "a dot for every row, absent ones included";
        EXPECT_EQ(stderr_, "\r   No devices found\n");
    }
}

}  // namespace
