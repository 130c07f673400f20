// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the IPMI transport's answer handling: one command through
// exec_command, whose every attempt gets a fuzzed 68-byte response record and
// return value from the simulated library's test hook. Each request record, the number of
// attempts and waits, and what reaches the caller's record are checked
// against the transport's contract.
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim_link.h"
#include "fuzz_check.h"
#include "ipmi/ipmi_commands.h"
#include "ipmi/ipmi_transport.h"

namespace {

constexpr uint8_t MAX_ATTEMPTS = 8;            // enough to reach every path, few enough to stay fast
constexpr uint32_t RESPONSE_HEADER_BYTES = 3;  // network function, command, completion code
constexpr uint32_t BMC_EXPECTED_LENGTH = 35;
constexpr uint32_t OTHER_EXPECTED_LENGTH = 32;
constexpr uint8_t COMMAND_SIZED_BY_REQUEST = 0x11;
constexpr uint8_t SENTINEL = 0x5A;
constexpr unsigned MICROSECONDS_PER_MILLISECOND = 1000;

struct Expected {
    uint8_t command;
    uint32_t length;
};
constexpr Expected BOARD_EXPECTED_LENGTHS[] = {
    {0x01, 18}, {0x02, 3}, {0x03, 3}, {0x04, 5},  {0x10, 6}, {0x12, 4},
    {0x24, 3},  {0x25, 5}, {0x26, 3}, {0x27, 10}, {0x2D, 7},
};

struct Answer {
    uint16_t returned;
    uint8_t record[HAPI_PACKET_SIZE];
};

struct Exchange {
    std::vector<Answer> answers;
    std::vector<std::vector<uint8_t>> requests;  // each request record as the library saw it
};

Exchange exchange;

uint16_t play_answer(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    size_t index = exchange.requests.size();
    FUZZ_CHECK(index < exchange.answers.size(), "attempt %zu made, only %zu allowed", index + 1,
               exchange.answers.size());
    const auto *raw = reinterpret_cast<const uint8_t *>(request);
    exchange.requests.emplace_back(raw, raw + HAPI_PACKET_SIZE);
    // A full record's write: a smaller response buffer shows up as an overflow.
    memcpy(response, exchange.answers[index].record, HAPI_PACKET_SIZE);
    return exchange.answers[index].returned;
}

uint32_t read_u32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16)) |
        (static_cast<uint32_t>(bytes[3]) << 24);
}

uint32_t expected_response_length(uint8_t slave_address, uint8_t command, const uint8_t *request_data)
{
    if (slave_address == BMC_SLAVE_ADDRESS)
        return BMC_EXPECTED_LENGTH;
    if (command == COMMAND_SIZED_BY_REQUEST)
        return request_data[3] + 4u;
    for (const Expected &entry : BOARD_EXPECTED_LENGTHS)
        if (entry.command == command)
            return entry.length;
    return OTHER_EXPECTED_LENGTH;
}

// An answer is taken only when everything says success and its length fits
// the record (a longer claim is not trusted at all).
bool answer_accepted(const Answer &answer)
{
    uint32_t length = read_u32(answer.record + offsetof(HAPI_IPMI_PACKET, response_length));
    return answer.returned != 0 && read_u32(answer.record + offsetof(HAPI_IPMI_PACKET, driver_status)) == 0 &&
        answer.record[HAPI_COMPLETION_CODE_OFFSET] == 0 && length >= RESPONSE_HEADER_BYTES &&
        length <= HAPI_RESPONSE_LENGTH_MAX;
}

void check_request_record(const std::vector<uint8_t> &record, uint8_t slave_address, uint8_t netfn, uint8_t command,
                          const IPMI_DRIVER_STRUCT &sent)
{
    FUZZ_CHECK(read_u32(&record[offsetof(HAPI_IPMI_PACKET, request_type)]) == HAPI_REQUEST_TYPE, "request type %u",
               read_u32(&record[offsetof(HAPI_IPMI_PACKET, request_type)]));
    FUZZ_CHECK(read_u32(&record[offsetof(HAPI_IPMI_PACKET, data_length)]) == sent.request_length + 2u,
               "data length %u for %u request bytes", read_u32(&record[offsetof(HAPI_IPMI_PACKET, data_length)]),
               sent.request_length);
    uint32_t expected = expected_response_length(slave_address, command, sent.request_data);
    FUZZ_CHECK(read_u32(&record[offsetof(HAPI_IPMI_PACKET, response_length)]) == expected,
               "expected length %u, should be %u", read_u32(&record[offsetof(HAPI_IPMI_PACKET, response_length)]),
               expected);
    FUZZ_CHECK(record[HAPI_LENGTH_BASE] == netfn && record[HAPI_LENGTH_BASE + 1] == command,
               "netfn/command %02x/%02x, sent %02x/%02x", record[HAPI_LENGTH_BASE], record[HAPI_LENGTH_BASE + 1], netfn,
               command);
    FUZZ_CHECK(memcmp(&record[HAPI_COMPLETION_CODE_OFFSET], sent.request_data, sent.request_length) == 0,
               "request data differ from the caller's");
    FUZZ_CHECK(record[offsetof(HAPI_IPMI_PACKET, slave_address)] == slave_address, "slave address %02x, sent %02x",
               record[offsetof(HAPI_IPMI_PACKET, slave_address)], slave_address);
    for (size_t i = offsetof(HAPI_IPMI_PACKET, channel); i < HAPI_PACKET_SIZE; i++)
        FUZZ_CHECK(record[i] == 0, "request byte %zu is %02x, not 0", i, record[i]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_report_stream();
    sim_link_load(play_answer);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzReader input(data, size);
    const uint8_t slave_address = input.byte();
    const uint8_t netfn = input.byte();
    const uint8_t command = input.byte();

    // The caller's record on the heap, exactly sized, answer fields preset so
    // that any change to them can be seen.
    auto *cmd = new IPMI_DRIVER_STRUCT;
    memset(cmd, SENTINEL, sizeof *cmd);
    cmd->request_length = input.byte();  // also beyond what the record can carry
    cmd->retry_count = input.byte() % (MAX_ATTEMPTS + 1);
    cmd->retry_delay = input.u16();
    cmd->response_offset = input.byte() | 1;  // never 0, so the reset shows
    input.bytes(cmd->request_data, HAPI_REQUEST_DATA_MAX);

    exchange = Exchange{};
    for (uint8_t attempt = 0; attempt < cmd->retry_count; attempt++) {
        Answer answer{};
        answer.returned = input.u16();
        input.bytes(answer.record, HAPI_PACKET_SIZE);
        exchange.answers.push_back(answer);
    }
    const IPMI_DRIVER_STRUCT before = *cmd;
    recorded_sleeps() = SleepRecord{};

    RETURN_CODE result = exec_command(slave_address, netfn, command, cmd);

    // What the contract says must have happened.
    size_t attempts = 0;
    bool accepted = false;
    if (cmd->request_length <= HAPI_REQUEST_DATA_MAX) {
        while (!accepted && attempts < exchange.answers.size())
            accepted = answer_accepted(exchange.answers[attempts++]);
    }
    FUZZ_CHECK(result == RC_SUCCESS || result == RC_FAILED, "result %d is neither success nor failure", result);
    FUZZ_CHECK((result == RC_SUCCESS) == accepted, "result %d, but an answer was %saccepted", result,
               accepted ? "" : "not ");
    FUZZ_CHECK(exchange.requests.size() == attempts, "%zu exchanges, expected %zu", exchange.requests.size(), attempts);
    const unsigned failed_attempts = static_cast<unsigned>(attempts) - (accepted ? 1 : 0);
    FUZZ_CHECK(recorded_sleeps().calls == failed_attempts, "%u waits after %u failed attempts", recorded_sleeps().calls,
               failed_attempts);
    FUZZ_CHECK(recorded_sleeps().microseconds ==
                   static_cast<uint64_t>(failed_attempts) * before.retry_delay * MICROSECONDS_PER_MILLISECOND,
               "waited %llu us in all, %u attempts of %u ms each",
               static_cast<unsigned long long>(recorded_sleeps().microseconds), failed_attempts, before.retry_delay);
    for (const std::vector<uint8_t> &record : exchange.requests)
        check_request_record(record, slave_address, netfn, command, before);

    // The caller's side: request fields never change, answer fields only on success.
    FUZZ_CHECK(cmd->request_length == before.request_length && cmd->retry_count == before.retry_count &&
                   cmd->retry_delay == before.retry_delay &&
                   memcmp(cmd->request_data, before.request_data, sizeof cmd->request_data) == 0,
               "the caller's request fields were changed");
    if (attempts > 0)
        FUZZ_CHECK(cmd->response_offset == 0, "response offset %d after an attempt", cmd->response_offset);
    if (!accepted) {
        FUZZ_CHECK(cmd->completion_code == before.completion_code && cmd->response_length == before.response_length &&
                       memcmp(cmd->response_data, before.response_data, sizeof cmd->response_data) == 0,
                   "a failed command changed the answer fields");
    } else {
        const Answer &answer = exchange.answers[attempts - 1];
        uint32_t answer_bytes =
            read_u32(answer.record + offsetof(HAPI_IPMI_PACKET, response_length)) - RESPONSE_HEADER_BYTES;
        FUZZ_CHECK(cmd->completion_code == 0, "completion code %d after success", cmd->completion_code);
        FUZZ_CHECK(cmd->response_length == answer_bytes, "response length %u, answer held %u", cmd->response_length,
                   answer_bytes);
        FUZZ_CHECK(memcmp(cmd->response_data, answer.record + HAPI_RESPONSE_DATA_OFFSET, answer_bytes) == 0,
                   "answer data not copied as sent");
        for (size_t i = answer_bytes; i < sizeof cmd->response_data; i++)
            FUZZ_CHECK(cmd->response_data[i] == SENTINEL, "response byte %zu written beyond the answer's %u", i,
                       answer_bytes);
    }
    delete cmd;
    return 0;
}
