// SPDX-License-Identifier: GPL-3.0-or-later
// The transport against scripted raw answers: record packing, the expected
// length rule, attempts and waits, and which answers count as failures.
#include "ipmi/ipmi_transport.h"

#include <cstring>

#include "../../sim/qrxsim_hooks.h"
#include "seam_recorder.h"

namespace {

struct RawAnswer {
    uint16_t returned = 1;
    uint32_t driver_status = 0;
    uint8_t completion_code = 0;
    uint32_t response_length = 3;
    uint8_t first_data_byte = 0x40;  // data bytes count up from here
};

std::vector<HAPI_IPMI_PACKET> requests_seen;
std::vector<RawAnswer> answers;  // one per exchange; the last one repeats

uint16_t respond(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    RawAnswer answer = answers.at(std::min(requests_seen.size(), answers.size() - 1));
    requests_seen.push_back(*request);
    uint8_t *raw = reinterpret_cast<uint8_t *>(response);
    memset(raw, 0, HAPI_PACKET_SIZE);
    response->driver_status = answer.driver_status;
    response->response_length = answer.response_length;
    raw[HAPI_COMPLETION_CODE_OFFSET] = answer.completion_code;
    for (size_t offset = HAPI_RESPONSE_DATA_OFFSET; offset < HAPI_PACKET_SIZE; offset++)
        raw[offset] = static_cast<uint8_t>(answer.first_data_byte + offset - HAPI_RESPONSE_DATA_OFFSET);
    return answer.returned;
}

const RawAnswer OK_WITH_15_BYTES{1, 0, 0, 18, 0x40};
constexpr uint8_t SENTINEL = 0x5A;

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        seams::reset();
        requests_seen.clear();
        answers = {OK_WITH_15_BYTES};
        driver_constructor();
        ASSERT_EQ(load_driver(), RC_SUCCESS) << "simulated library not found under " << seams::build_dir();
        void *library = seams_real_dlopen(seams::library_paths[HAPI_IPMI_LIBRARY].c_str(), RTLD_NOW | RTLD_NOLOAD);
        set_responder_ = reinterpret_cast<QRXSIM_SET_RESPONDER>(dlsym(library, QRXSIM_SET_RESPONDER_NAME));
        dlclose(library);
        ASSERT_NE(set_responder_, nullptr);
        set_responder_(respond);
        memset(&cmd_, SENTINEL, sizeof cmd_);
        cmd_.request_length = 0;
        cmd_.retry_count = 5;
        cmd_.retry_delay = 200;
        seams::sleeps_us.clear();
    }

    void TearDown() override
    {
        if (set_responder_ != nullptr)
            set_responder_(nullptr);
        driver_destructor();
    }

    static const uint8_t *raw(const HAPI_IPMI_PACKET &packet) { return reinterpret_cast<const uint8_t *>(&packet); }

    QRXSIM_SET_RESPONDER set_responder_ = nullptr;
    IPMI_DRIVER_STRUCT cmd_;
};

TEST_F(TransportTest, packs_request_record_at_fixed_offsets)
{
    cmd_.request_length = 3;
    cmd_.request_data[0] = 0x11;
    cmd_.request_data[1] = 0x22;
    cmd_.request_data[2] = 0x33;
    ASSERT_EQ(exec_command(0xC2, 0x20, 0x01, &cmd_), RC_SUCCESS);
    ASSERT_EQ(requests_seen.size(), 1u);
    const uint8_t *bytes = raw(requests_seen[0]);

    for (int offset = 0; offset < 16; offset++)
        EXPECT_EQ(bytes[offset], 0) << "offset " << offset;
    auto u32_at = [bytes](int offset) {
        uint32_t value;
        memcpy(&value, bytes + offset, sizeof value);
        return value;
    };
    EXPECT_EQ(u32_at(16), 10u);
    EXPECT_EQ(u32_at(20), 5u) << "request length + netfn and command";
    EXPECT_EQ(u32_at(24), 18u) << "command 0x01 to a board";
    EXPECT_EQ(bytes[28], 0x20);
    EXPECT_EQ(bytes[29], 0x01);
    EXPECT_EQ(bytes[30], 0x11);
    EXPECT_EQ(bytes[31], 0x22);
    EXPECT_EQ(bytes[32], 0x33);
    for (int offset = 33; offset < 63; offset++)
        EXPECT_EQ(bytes[offset], 0) << "the request record must not carry stray caller bytes; offset " << offset;
    EXPECT_EQ(bytes[63], 0xC2);
    for (int offset = 64; offset < 68; offset++)
        EXPECT_EQ(bytes[offset], 0) << "offset " << offset;
}

TEST_F(TransportTest, carries_33_request_bytes_and_refuses_34_without_an_exchange)
{
    cmd_.request_length = 33;
    for (int i = 0; i < 33; i++)
        cmd_.request_data[i] = static_cast<uint8_t>(0x80 + i);
    ASSERT_EQ(exec_command(0xC0, 0x20, 0x01, &cmd_), RC_SUCCESS);
    EXPECT_EQ(memcmp(raw(requests_seen[0]) + 30, cmd_.request_data, 33), 0);
    EXPECT_EQ(raw(requests_seen[0])[63], 0xC0) << "request data must not run over the slave address";

    requests_seen.clear();
    cmd_.request_length = 34;
    EXPECT_EQ(exec_command(0xC0, 0x20, 0x01, &cmd_), RC_FAILED);
    EXPECT_EQ(hapi_exec_command(0xC0, 0x20, 0x01, &cmd_), RC_FAILED);
    EXPECT_TRUE(requests_seen.empty());
    EXPECT_TRUE(seams::sleeps_us.empty());
}

struct ExpectedLengthCase {
    uint8_t slave_address;
    uint8_t command;
    uint8_t request_byte_3;
    uint32_t expected;
};

class ExpectedLengthTest : public TransportTest, public ::testing::WithParamInterface<ExpectedLengthCase> {};

TEST_P(ExpectedLengthTest, asks_for_the_answer_size_of_the_command)
{
    const ExpectedLengthCase &c = GetParam();
    cmd_.request_length = 4;
    cmd_.request_data[3] = c.request_byte_3;
    ASSERT_EQ(exec_command(c.slave_address, 0x18, c.command, &cmd_), RC_SUCCESS);
    uint32_t expected;
    memcpy(&expected, raw(requests_seen[0]) + 24, sizeof expected);
    EXPECT_EQ(expected, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExpectedLengthTest,
    ::testing::Values(ExpectedLengthCase{0x20, 0x01, 0, 35}, ExpectedLengthCase{0x20, 0x11, 16, 35},
                      ExpectedLengthCase{0x20, 0x32, 0, 35}, ExpectedLengthCase{0xC0, 0x01, 0, 18},
                      ExpectedLengthCase{0xC0, 0x02, 0, 3}, ExpectedLengthCase{0xC0, 0x03, 0, 3},
                      ExpectedLengthCase{0xC0, 0x04, 0, 5}, ExpectedLengthCase{0xC0, 0x10, 0, 6},
                      ExpectedLengthCase{0xC0, 0x11, 16, 20}, ExpectedLengthCase{0xC0, 0x11, 0xFF, 259},
                      ExpectedLengthCase{0xC0, 0x12, 0, 4}, ExpectedLengthCase{0xC0, 0x24, 0, 3},
                      ExpectedLengthCase{0xC0, 0x25, 0, 5}, ExpectedLengthCase{0xC2, 0x26, 0, 3},
                      ExpectedLengthCase{0xC4, 0x27, 0, 10}, ExpectedLengthCase{0xC0, 0x2D, 0, 7},
                      ExpectedLengthCase{0xC0, 0x00, 0, 32}, ExpectedLengthCase{0xC0, 0x32, 0, 32}));

TEST_F(TransportTest, copies_answer_data_after_the_completion_code)
{
    ASSERT_EQ(exec_command(0xC0, 0x18, 0x01, &cmd_), RC_SUCCESS);
    EXPECT_EQ(cmd_.completion_code, 0);
    EXPECT_EQ(uint16_t{cmd_.response_length}, 15);
    EXPECT_EQ(cmd_.response_offset, 0);
    for (int i = 0; i < 15; i++)
        EXPECT_EQ(cmd_.response_data[i], 0x40 + i) << "answer byte " << i;
    EXPECT_EQ(cmd_.response_data[15], SENTINEL) << "nothing beyond the answer is written";
}

TEST_F(TransportTest, answer_of_exactly_three_bytes_succeeds_with_no_data)
{
    answers = {RawAnswer{1, 0, 0, 3, 0x40}};
    ASSERT_EQ(exec_command(0x20, 0x00, 0x0A, &cmd_), RC_SUCCESS);
    EXPECT_EQ(uint16_t{cmd_.response_length}, 0);
    EXPECT_EQ(cmd_.response_data[0], SENTINEL);
}

TEST_F(TransportTest, answer_filling_the_whole_record_is_taken_to_its_end)
{
    answers = {RawAnswer{1, 0, 0, 40, 0x10}};
    ASSERT_EQ(exec_command(0x20, 0x00, 0x01, &cmd_), RC_SUCCESS);
    EXPECT_EQ(uint16_t{cmd_.response_length}, 37);
    EXPECT_EQ(cmd_.response_data[36], 0x10 + 36);
    EXPECT_EQ(cmd_.response_data[37], SENTINEL);
}

struct FailedAnswerCase {
    const char *name;
    RawAnswer answer;
};

class FailedAnswerTest : public TransportTest, public ::testing::WithParamInterface<FailedAnswerCase> {};

TEST_P(FailedAnswerTest, counts_as_a_failed_attempt_and_leaves_the_answer_fields)
{
    answers = {GetParam().answer};
    cmd_.response_offset = 9;
    EXPECT_EQ(hapi_exec_command(0xC0, 0x18, 0x01, &cmd_), RC_FAILED);
    EXPECT_EQ(cmd_.response_offset, 0);
    EXPECT_EQ(cmd_.completion_code, SENTINEL);
    EXPECT_EQ(uint16_t{cmd_.response_length}, SENTINEL | SENTINEL << 8);
    EXPECT_EQ(cmd_.response_data[0], SENTINEL);
    EXPECT_EQ(cmd_.response_data[36], SENTINEL);

    requests_seen.clear();
    EXPECT_EQ(exec_command(0xC0, 0x18, 0x01, &cmd_), RC_FAILED);
    EXPECT_EQ(requests_seen.size(), 5u);
    EXPECT_EQ(seams::sleeps_us, std::vector<unsigned>(5, 200000)) << "one wait per failed attempt, the last included";
    EXPECT_EQ(cmd_.response_data[0], SENTINEL);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FailedAnswerTest,
                         ::testing::Values(FailedAnswerCase{"not_carried_out", RawAnswer{0, 0, 0, 18, 0x40}},
                                           FailedAnswerCase{"driver_status", RawAnswer{1, 0x0E, 0, 18, 0x40}},
                                           FailedAnswerCase{"completion_code", RawAnswer{1, 0, 0xC1, 18, 0x40}},
                                           FailedAnswerCase{"two_bytes", RawAnswer{1, 0, 0, 2, 0x40}},
                                           FailedAnswerCase{"longer_than_the_record", RawAnswer{1, 0, 0, 41, 0x40}},
                                           FailedAnswerCase{"absurdly_long", RawAnswer{1, 0, 0, 0xFFFFFFFF, 0x40}}),
                         [](const auto &info) { return std::string(info.param.name); });

struct AttemptCase {
    uint8_t retry_count;
    size_t refusals;  // before an answer
    RETURN_CODE result;
    size_t exchanges;
    size_t waits;
};

class AttemptTest : public TransportTest, public ::testing::WithParamInterface<AttemptCase> {};

TEST_P(AttemptTest, waits_after_every_failed_attempt_and_stops_at_the_first_success)
{
    const AttemptCase &c = GetParam();
    answers.assign(c.refusals, RawAnswer{1, 0, 0xC0, 3, 0});
    for (uint8_t i = 0; i < 8; i++)
        answers.push_back(RawAnswer{1, 0, 0, 18, static_cast<uint8_t>(0x10 * (i + 1))});
    cmd_.retry_count = c.retry_count;
    cmd_.retry_delay = 20;

    EXPECT_EQ(exec_command(0xC0, 0x18, 0x01, &cmd_), c.result);
    EXPECT_EQ(requests_seen.size(), c.exchanges);
    EXPECT_EQ(seams::sleeps_us, std::vector<unsigned>(c.waits, 20000));
    if (c.result == RC_SUCCESS) {
        EXPECT_EQ(cmd_.response_data[0], 0x10) << "answer fields come from the answer that succeeded";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, AttemptTest,
                         ::testing::Values(AttemptCase{5, 0, RC_SUCCESS, 1, 0}, AttemptCase{5, 2, RC_SUCCESS, 3, 2},
                                           AttemptCase{5, 4, RC_SUCCESS, 5, 4}, AttemptCase{5, 5, RC_FAILED, 5, 5},
                                           AttemptCase{60, 59, RC_SUCCESS, 60, 59}, AttemptCase{2, 9, RC_FAILED, 2, 2},
                                           AttemptCase{0, 0, RC_FAILED, 0, 0}));

TEST_F(TransportTest, failed_command_keeps_the_previous_answer)
{
    ASSERT_EQ(exec_command(0xC0, 0x18, 0x01, &cmd_), RC_SUCCESS);
    answers = {RawAnswer{1, 0, 0xCC, 3, 0}};
    requests_seen.clear();
    EXPECT_EQ(exec_command(0xC0, 0x18, 0x01, &cmd_), RC_FAILED);
    EXPECT_EQ(cmd_.completion_code, 0);
    EXPECT_EQ(uint16_t{cmd_.response_length}, 15);
    EXPECT_EQ(cmd_.response_data[2], 0x42);
}

TEST_F(TransportTest, without_the_library_no_attempt_and_no_wait)
{
    set_responder_(nullptr);
    set_responder_ = nullptr;
    driver_destructor();
    EXPECT_EQ(exec_command(0xC0, 0x18, 0x01, &cmd_), RC_FAILED);
    EXPECT_TRUE(requests_seen.empty());
    EXPECT_TRUE(seams::sleeps_us.empty());
}

TEST_F(TransportTest, delay_is_one_sleep_in_microseconds)
{
    DelayMS(5000);
    DelayMS(0);
    EXPECT_EQ(seams::sleeps_us, (std::vector<unsigned>{5000000, 0}));
}

TEST_F(TransportTest, delay_cut_short_by_a_signal_sleeps_the_rest)
{
    seams::interrupted_sleeps = 2;
    DelayMS(5000);
    ASSERT_EQ(seams::sleeps_us.size(), 3u);
    EXPECT_EQ(seams::sleeps_us[0], 5000000u);
    // The rest: what is left of the five seconds, never more.
    for (size_t i = 1; i < 3; i++) {
        EXPECT_LE(seams::sleeps_us[i], seams::sleeps_us[i - 1]);
        EXPECT_GT(seams::sleeps_us[i], 4900000u);
    }
}

}  // namespace
