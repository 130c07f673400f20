// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated platform the system tests stand on: its raw answers, the
// boards' firmware-transfer protocol, the injected faults and what it keeps
// from one load to the next.
#include <algorithm>
#include <cstring>

#include "flash/bp_flash.h"
#include "ipmi/ipmi_commands.h"
#include "ipmi/ipmi_transport.h"
#include "seam_recorder.h"
#include "sim_state.h"
#include "unlock_codes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

using qrxsim::FLASH_SIZE;
using qrxsim::FLASH_START;
constexpr uint32_t CHUNK = CHUNK_SIZE;
const Bytes UNLOCK{UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3, UNLOCK_CODE_4};
const Bytes ALT_UNLOCK{ALT_UNLOCK_CODE_1, ALT_UNLOCK_CODE_2, ALT_UNLOCK_CODE_3, ALT_UNLOCK_CODE_4};

struct RawReply {
    uint16_t returned;
    uint32_t driver_status;
    uint32_t response_length;
    uint8_t netfn;
    uint8_t completion_code;
    Bytes data;
};

class SimulatedPlatformTest : public ::testing::Test {
protected:
    void load(const std::string &state)
    {
        if (platform_ == nullptr)
            platform_ = std::make_unique<SimulatedPlatform>(state);
        seams::reset();
        driver_constructor();
        ASSERT_EQ(load_driver(), RC_SUCCESS) << "simulated library not found under " << seams::build_dir();
    }

    void unload() { driver_destructor(); }

    void TearDown() override { driver_destructor(); }

    // One attempt through the program's transport.
    RETURN_CODE send(uint8_t target, uint8_t netfn, uint8_t command, const Bytes &data = {}, uint8_t attempts = 1)
    {
        IPMI_DRIVER_STRUCT cmd{};
        cmd.request_length = static_cast<uint16_t>(data.size());
        std::copy(data.begin(), data.end(), cmd.request_data);
        cmd.retry_count = attempts;
        RETURN_CODE result = exec_command(target, netfn, command, &cmd);
        last_answer_.assign(cmd.response_data, cmd.response_data + cmd.response_length);
        return result;
    }

    // One exchange with a hand-made record, for what the transport hides.
    RawReply raw(uint8_t target, uint8_t netfn, uint8_t command, uint32_t expected = 35, uint32_t request_type = 10)
    {
        HAPI_IPMI_PACKET request{};
        HAPI_IPMI_PACKET response{};
        request.request_type = request_type;
        request.data_length = 2;
        request.response_length = expected;
        request.netfn = netfn;
        request.command = command;
        request.slave_address = target;
        uint16_t returned = get_hapi_ipmi_entry()(&request, &response);
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&response);
        uint32_t data_length =
            response.response_length > 3 && response.response_length <= 40 ? response.response_length - 3 : 0;
        return {returned,       response.driver_status, response.response_length,
                response.netfn, response.data[0],       Bytes(bytes + 31, bytes + 31 + data_length)};
    }

    Bytes revision(uint8_t target)
    {
        if (send(target, NETFN_APP, CMD_GET_DEVICE_ID) != RC_SUCCESS)
            return {};
        return {last_answer_[DEVICE_ID_FW_REVISION_1], last_answer_[DEVICE_ID_FW_REVISION_2]};
    }

    RETURN_CODE chunk(uint8_t target, uint32_t address, const Bytes &bytes, uint8_t attempts = 1)
    {
        Bytes data{static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(address >> 8)};
        data.insert(data.end(), bytes.begin(), bytes.end());
        return send(target, NETFN_FIRMWARE, CMD_FW_DATA, data, attempts);
    }

    // An image whose revision bytes (offsets 2 and 3) say `major`.`minor`.
    static Bytes image(uint8_t major, uint8_t minor)
    {
        Bytes bytes(FLASH_SIZE);
        for (uint32_t i = 0; i < FLASH_SIZE; i++)
            bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        bytes[2] = major;
        bytes[3] = minor;
        return bytes;
    }

    // Sends a whole image in 20-byte chunks; returns the number accepted.
    int transfer(uint8_t target, const Bytes &bytes)
    {
        int accepted = 0;
        for (uint32_t offset = 0; offset < bytes.size(); offset += CHUNK) {
            uint32_t count = std::min<uint32_t>(CHUNK, static_cast<uint32_t>(bytes.size()) - offset);
            if (chunk(target, FLASH_START + offset, Bytes(bytes.begin() + offset, bytes.begin() + offset + count)) !=
                RC_SUCCESS)
                break;
            accepted++;
        }
        return accepted;
    }

    std::string board_file(uint8_t address) const
    {
        char name[32];
        snprintf(name, sizeof name, "/board_%02x.bin", address);
        return platform_->folder() + name;
    }

    std::unique_ptr<SimulatedPlatform> platform_;
    Bytes last_answer_;
};

TEST_F(SimulatedPlatformTest, answers_carry_the_response_netfn_and_lengths_of_the_record)
{
    load("front_panel 0x5A\nboard 0xC0 revision=03.21\n");
    RawReply id = raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18);
    EXPECT_EQ(id.returned, 1);
    EXPECT_EQ(id.driver_status, 0u);
    EXPECT_EQ(id.response_length, 18u);
    EXPECT_EQ(id.netfn, NETFN_APP | 0x04);
    EXPECT_EQ(id.completion_code, 0);
    EXPECT_EQ(id.data[2], 0x03);
    EXPECT_EQ(id.data[3], 0x21);

    RawReply chassis = raw(0x20, NETFN_CHASSIS, CMD_GET_CHASSIS_STATUS);
    EXPECT_EQ(chassis.data, (Bytes{0x01, 0x00, 0x00, 0x5A}));

    EXPECT_EQ(raw(0xC0, NETFN_APP, 0x55).completion_code, 0xC1) << "unknown command";
    EXPECT_EQ(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 17).completion_code, 0xCA) << "answer longer than expected";
    EXPECT_EQ(raw(0xC6, NETFN_APP, CMD_GET_DEVICE_ID, 18).completion_code, 0xC3) << "nobody at that address";
    EXPECT_NE(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18, 9).driver_status, 0u) << "request type must be 10";
}

TEST_F(SimulatedPlatformTest, faults_apply_to_the_matching_requests_they_count)
{
    load("board 0xC0\nfault 0xC0 0x18 0x01 cc=0xD5 2\nfault * 0x00 * driver\nfault 0x20 0x18 0x32 noexchange 1\n"
         "fault 0x20 0x18 0x01 short 1\nfault 0x20 0x18 0x01 overlong 1\n");
    EXPECT_EQ(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18).completion_code, 0xD5);
    EXPECT_EQ(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18).completion_code, 0xD5);
    EXPECT_EQ(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18).completion_code, 0x00);
    EXPECT_NE(raw(0x20, NETFN_CHASSIS, CMD_GET_CHASSIS_STATUS).driver_status, 0u);
    EXPECT_NE(raw(0x20, NETFN_CHASSIS, CMD_SET_FRONT_PANEL_ENABLES).driver_status, 0u);
    EXPECT_EQ(raw(0x20, NETFN_APP, CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE).returned, 0);
    EXPECT_EQ(raw(0x20, NETFN_APP, CMD_GET_DEVICE_ID).response_length, 2u);
    EXPECT_EQ(raw(0x20, NETFN_APP, CMD_GET_DEVICE_ID).response_length, 41u);
    EXPECT_EQ(raw(0x20, NETFN_APP, CMD_GET_DEVICE_ID).response_length, 18u);
}

TEST_F(SimulatedPlatformTest, fault_with_a_start_lets_the_first_matching_requests_through)
{
    // The later rule takes over while the first one has not started yet.
    load("board 0xC0\nfault 0xC0 0x18 0x01 cc=0xD5 after=2\nfault 0xC0 0x18 0x01 cc=0xC9 1 after=0\n"
         "fault 0xC2 * * driver 1 after=1\n");
    EXPECT_EQ(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18).completion_code, 0xC9);
    EXPECT_EQ(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18).completion_code, 0x00);
    for (int request = 0; request < 3; request++)
        EXPECT_EQ(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18).completion_code, 0xD5) << "request " << request;
    EXPECT_EQ(raw(0xC2, NETFN_APP, CMD_GET_DEVICE_ID, 18).driver_status, 0u);
    EXPECT_NE(raw(0xC2, NETFN_APP, CMD_GET_DEVICE_ID, 18).driver_status, 0u);
    EXPECT_EQ(raw(0xC2, NETFN_APP, CMD_GET_DEVICE_ID, 18).driver_status, 0u);
}

TEST_F(SimulatedPlatformTest, full_transfer_changes_the_revision_and_is_kept_for_the_next_load)
{
    load("board 0xC0 revision=01.05 erase_busy=3\nboard 0xC2 revision=01.05\n");
    const Bytes new_image = image(0x02, 0x17);
    ASSERT_EQ(send(0xC0, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, UNLOCK), RC_SUCCESS);
    EXPECT_EQ(chunk(0xC0, FLASH_START, {1, 2, 3}), RC_FAILED) << "no data while erasing";
    for (int poll = 0; poll < 3; poll++)
        EXPECT_EQ(revision(0xC0), Bytes{}) << "erasing, poll " << poll;
    EXPECT_EQ(revision(0xC0), (Bytes{0x81, 0x05})) << "in transfer mode: from the boot block";
    EXPECT_EQ(transfer(0xC0, new_image), 2253);
    ASSERT_EQ(send(0xC0, NETFN_FIRMWARE, CMD_EXIT_FW_XFER), RC_SUCCESS);
    EXPECT_EQ(revision(0xC0), (Bytes{0x02, 0x17}));
    EXPECT_EQ(send(0xC0, NETFN_FIRMWARE, CMD_EXIT_FW_XFER), RC_FAILED) << "not in transfer mode any more";
    unload();

    std::string written = SimulatedPlatform::read(board_file(0xC0));
    EXPECT_EQ(Bytes(written.begin(), written.end()), new_image);
    EXPECT_EQ(access(board_file(0xC2).c_str(), F_OK), -1) << "an untouched board leaves no image";
    EXPECT_NE(platform_->state().find("board 0xC0 revision=02.17"), std::string::npos) << platform_->state();

    load("");
    EXPECT_EQ(revision(0xC0), (Bytes{0x02, 0x17}));
    EXPECT_EQ(revision(0xC2), (Bytes{0x01, 0x05}));
}

struct UnlockCase {
    const char *setting;
    bool primary_accepted;
    bool alternate_accepted;
};

class UnlockTest : public SimulatedPlatformTest, public ::testing::WithParamInterface<UnlockCase> {};

TEST_P(UnlockTest, accepts_the_configured_codes)
{
    const UnlockCase &c = GetParam();
    load(std::string("board 0xC4 erase_busy=0 ") + c.setting + "\n");
    EXPECT_EQ(send(0xC4, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, UNLOCK) == RC_SUCCESS, c.primary_accepted);
    EXPECT_EQ(send(0xC4, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, ALT_UNLOCK) == RC_SUCCESS, c.alternate_accepted);
    EXPECT_EQ(send(0xC4, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, {'A', 'B', 'C', 'D'}), RC_FAILED);
    EXPECT_EQ(send(0xC4, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, Bytes(UNLOCK.begin(), UNLOCK.begin() + 3)), RC_FAILED);
}

INSTANTIATE_TEST_SUITE_P(Settings, UnlockTest,
                         ::testing::Values(UnlockCase{"", true, true}, UnlockCase{"unlock_refused=first", false, true},
                                           UnlockCase{"unlock_refused=both", false, false}));

TEST_F(SimulatedPlatformTest, data_goes_only_into_the_flash_range_during_a_transfer)
{
    load("board 0xC0 erase_busy=0\n");
    EXPECT_EQ(chunk(0xC0, FLASH_START, {1}), RC_FAILED) << "not in transfer mode";
    ASSERT_EQ(send(0xC0, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, ALT_UNLOCK), RC_SUCCESS);
    EXPECT_EQ(chunk(0xC0, 0x0FFF, {1, 2}), RC_FAILED);
    EXPECT_EQ(chunk(0xC0, 0xBFFF, {1, 2}), RC_FAILED);
    EXPECT_EQ(chunk(0xC0, 0xBFEC, Bytes(20, 0x77)), RC_SUCCESS);
    EXPECT_EQ(chunk(0xC0, FLASH_START, {}), RC_FAILED) << "a chunk needs data";
    EXPECT_EQ(chunk(0xC0, 0x1001, {0x00, 0x00}), RC_SUCCESS);
    unload();
    std::string written = SimulatedPlatform::read(board_file(0xC0));
    ASSERT_EQ(written.size(), FLASH_SIZE);
    EXPECT_EQ(static_cast<uint8_t>(written[0]), 0xFF) << "erased and never written";
    EXPECT_EQ(static_cast<uint8_t>(written[2]), 0x00);
    EXPECT_EQ(static_cast<uint8_t>(written[FLASH_SIZE - 1]), 0x77);
    EXPECT_NE(platform_->state().find("revision=81.05"), std::string::npos) << "left in transfer mode: boot block";
}

TEST_F(SimulatedPlatformTest, transfer_faults_refuse_what_they_name)
{
    load("board 0xC0 erase_busy=forever\nboard 0xC2 erase_busy=0 refuse_chunk=3 refuse_exit\n"
         "board 0xC4 erase_busy=0 silent_after_flash\n");
    ASSERT_EQ(send(0xC0, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, UNLOCK), RC_SUCCESS);
    for (int poll = 0; poll < 100; poll++)
        ASSERT_EQ(revision(0xC0), Bytes{}) << "the erase never ends";

    ASSERT_EQ(send(0xC2, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, UNLOCK), RC_SUCCESS);
    EXPECT_EQ(chunk(0xC2, FLASH_START, Bytes(CHUNK, 1)), RC_SUCCESS);
    EXPECT_EQ(chunk(0xC2, 0x1014, Bytes(20, 2)), RC_SUCCESS);
    EXPECT_EQ(chunk(0xC2, 0x1028, Bytes(20, 3), 60), RC_FAILED) << "chunk 3 on all its attempts";
    EXPECT_EQ(send(0xC2, NETFN_FIRMWARE, CMD_EXIT_FW_XFER, {}, 5), RC_FAILED);

    ASSERT_EQ(send(0xC4, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, UNLOCK), RC_SUCCESS);
    ASSERT_EQ(send(0xC4, NETFN_FIRMWARE, CMD_EXIT_FW_XFER), RC_SUCCESS);
    EXPECT_EQ(revision(0xC4), Bytes{});
    unload();
    EXPECT_NE(platform_->state().find("board 0xC4 revision=FF.FF silent"), std::string::npos) << platform_->state();
}

TEST_F(SimulatedPlatformTest, board_may_report_another_revision_after_the_flash)
{
    load("board 0xC0 erase_busy=0 revision_after_flash=01.06\n");
    ASSERT_EQ(send(0xC0, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, UNLOCK), RC_SUCCESS);
    EXPECT_EQ(transfer(0xC0, image(0x02, 0x00)), 2253);
    ASSERT_EQ(send(0xC0, NETFN_FIRMWARE, CMD_EXIT_FW_XFER), RC_SUCCESS);
    EXPECT_EQ(revision(0xC0), (Bytes{0x01, 0x06}));
}

TEST_F(SimulatedPlatformTest, stopped_service_carries_no_exchange)
{
    platform_ = std::make_unique<SimulatedPlatform>("board 0xC0\n");
    std::ofstream(platform_->folder() + "/service.txt") << "installed=1\nrunning=0\nusers_stopped=0\n";
    load("");
    EXPECT_EQ(raw(0xC0, NETFN_APP, CMD_GET_DEVICE_ID, 18).returned, 0);
}

}  // namespace
