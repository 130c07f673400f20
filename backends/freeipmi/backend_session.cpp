// SPDX-License-Identifier: GPL-3.0-or-later
// Owns the process's one IPMI session (opened on first use, reopened after
// it is lost) and the mapping between the library's 68-byte record and a raw
// request and answer. Talks to the BMC only through the LINK_OPS seam.
#include "backend_session.h"

#include <cstdio>
#include <cstring>

namespace {

// IPMI answers carry at most a few hundred bytes; the record keeps 37 of them.
constexpr size_t ANSWER_CAPACITY = 512;
constexpr size_t ANSWER_HEADER = 2;                 // command and completion code
constexpr uint8_t NETFN_RESPONSE_BIT = 0x04;        // in the network-function byte
constexpr uint8_t LUN_MASK = 0x03;
constexpr unsigned int NETFN_SHIFT = 2;
constexpr size_t REQUEST_HEADER = 2;                // network-function byte and command
constexpr size_t RESPONSE_DATA_CAPACITY = HAPI_PACKET_SIZE - HAPI_RESPONSE_DATA_OFFSET;
constexpr char MESSAGE_PREFIX[] = "velmoran-freeipmi";

const LINK_OPS *link_ops = nullptr;
BACKEND_CONFIG link_config;
bool configured = false;
void *open_link = nullptr;
// Authentication refused: asking again would only lock the account out.
bool given_up = false;
// Each kind of opening failure is told once per process, not once per attempt.
bool reported[LINK_FAILED + 1] = {};

void report_once(LINK_RESULT result, const char *detail) {
    if (reported[result])
        return;
    reported[result] = true;
    fprintf(stderr, "%s: %s\n", MESSAGE_PREFIX, detail);
    fflush(stderr);
}

bool ensure_open() {
    if (open_link != nullptr)
        return true;
    if (given_up || link_ops == nullptr)
        return false;
    char detail[LINK_DETAIL_SIZE] = {};
    void *link = nullptr;
    LINK_RESULT result = link_ops->open(&link_config, &link, detail, sizeof detail);
    if (result == LINK_OK && link != nullptr) {
        open_link = link;
        return true;
    }
    if (result == LINK_OK)
        result = LINK_FAILED;
    report_once(result, detail[0] != '\0' ? detail : "cannot open an IPMI session");
    if (result == LINK_REFUSED)
        given_up = true;
    return false;
}

void fill_response(const HAPI_IPMI_PACKET *request, const uint8_t *answer, size_t answer_length,
                   HAPI_IPMI_PACKET *response) {
    response->netfn = static_cast<uint8_t>(request->netfn | NETFN_RESPONSE_BIT);
    response->command = answer_length > 0 ? answer[0] : request->command;
    if (answer_length < ANSWER_HEADER) {
        response->driver_status = DRIVER_STATUS_MALFORMED_ANSWER;
        return;
    }
    size_t data_length = answer_length - ANSWER_HEADER;
    // Never write past the record: longer answers are cut to what it holds.
    if (data_length > RESPONSE_DATA_CAPACITY)
        data_length = RESPONSE_DATA_CAPACITY;
    uint8_t *record = reinterpret_cast<uint8_t *>(response);
    record[HAPI_COMPLETION_CODE_OFFSET] = answer[1];
    memcpy(record + HAPI_RESPONSE_DATA_OFFSET, answer + ANSWER_HEADER, data_length);
    response->driver_status = DRIVER_STATUS_SUCCESS;
    response->response_length = static_cast<uint32_t>(REQUEST_HEADER + 1 + data_length);
}

}  // namespace

static_assert(HAPI_RESPONSE_DATA_OFFSET + RESPONSE_DATA_CAPACITY == HAPI_PACKET_SIZE);
static_assert(REQUEST_HEADER + 1 + RESPONSE_DATA_CAPACITY == HAPI_RESPONSE_LENGTH_MAX);

void session_close() {
    if (open_link != nullptr && link_ops != nullptr)
        link_ops->close(open_link);
    open_link = nullptr;
}

void session_reset(const LINK_OPS *ops, const BACKEND_CONFIG *config) {
    session_close();
    link_ops = ops;
    link_config = *config;
    configured = true;
    given_up = false;
    memset(reported, 0, sizeof reported);
}

bool session_is_configured() {
    return configured;
}

uint16_t session_exchange(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response) {
    if (request == nullptr || response == nullptr)
        return 0;
    memset(response, 0, sizeof *response);
    uint32_t length = request->data_length;
    if (length < REQUEST_HEADER || length > REQUEST_HEADER + HAPI_REQUEST_DATA_MAX)
        return 0;
    if (!ensure_open())
        return 0;

    uint8_t bytes[1 + HAPI_REQUEST_DATA_MAX];
    bytes[0] = request->command;
    memcpy(bytes + 1, request->data, length - REQUEST_HEADER);
    LINK_REQUEST link_request{};
    link_request.slave_address = request->slave_address;
    link_request.lun = request->netfn & LUN_MASK;
    link_request.netfn = static_cast<uint8_t>(request->netfn >> NETFN_SHIFT);
    link_request.bytes = bytes;
    link_request.length = length - 1;

    uint8_t answer[ANSWER_CAPACITY];
    size_t answer_length = 0;
    LINK_RESULT result =
        link_ops->exchange(open_link, &link_request, answer, sizeof answer, &answer_length);
    if (result == LINK_SESSION_LOST) {
        // The library's context stays unusable after a timeout: start afresh.
        session_close();
        return 0;
    }
    if (result != LINK_OK)
        return 0;
    if (answer_length > sizeof answer)
        answer_length = sizeof answer;
    fill_response(request, answer, answer_length, response);
    return 1;
}
