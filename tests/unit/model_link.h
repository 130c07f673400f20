// SPDX-License-Identifier: GPL-3.0-or-later
// The flashing suites' link to the one board model: the real driver module
// loads the simulated library through the one seam, the real transport sends
// its records, and the library's test hook hands them to a platform held here
// (sim/board_model.h). Every request the boards were sent is kept.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "board_model.h"
#include "ipmi/driver.h"
#include "ipmi/ipmi_commands.h"
#include "qrxsim_hooks.h"
#include "seam_recorder.h"

namespace model_link {

struct Sent {
    uint8_t slave;
    uint8_t netfn;
    uint8_t command;
    std::vector<uint8_t> data;
};

inline qrxsim::Platform platform;
inline std::vector<Sent> sent;

// netfn and command: the record's data length counts them.
constexpr uint32_t REQUEST_HEADER_BYTES = 2;

inline uint16_t answer(const HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    const uint32_t length = std::min<uint32_t>(
        request->data_length >= REQUEST_HEADER_BYTES ? request->data_length - REQUEST_HEADER_BYTES : 0,
        HAPI_REQUEST_DATA_MAX);
    sent.push_back({request->slave_address, request->netfn, request->command,
                    std::vector<uint8_t>(request->data, request->data + length)});
    return qrxsim::exchange(platform, true, request, response);
}

// A fresh platform with only the BMC; the library loaded once per program.
// The state folder is there as an installed system has it, so that the flash
// run can note its changes.
inline void start()
{
    if (const char *state = getenv("VELMORAN_STATE_DIR"))
        std::filesystem::create_directories(state);
    seams::reset();
    platform = qrxsim::Platform{};
    sent.clear();
    if (get_hapi_ipmi_entry() == nullptr) {
        ASSERT_EQ(load_driver(), RC_SUCCESS);
    }
    void *library = seams_real_dlopen(seams::library_paths[HAPI_IPMI_LIBRARY].c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    auto set_responder = reinterpret_cast<QRXSIM_SET_RESPONDER>(dlsym(library, QRXSIM_SET_RESPONDER_NAME));
    ASSERT_NE(set_responder, nullptr);
    set_responder(answer);
    dlclose(library);
}

inline qrxsim::Board &add_board(uint8_t address)
{
    qrxsim::Board board;
    board.address = address;
    platform.boards.push_back(board);
    return platform.boards.back();
}

inline qrxsim::Board &board_at(uint8_t address)
{
    for (qrxsim::Board &board : platform.boards)
        if (board.address == address)
            return board;
    ADD_FAILURE() << "no board at " << static_cast<int>(address);
    return platform.boards.front();
}

inline std::vector<Sent> sent_to(uint8_t slave, uint8_t netfn, uint8_t command)
{
    std::vector<Sent> found;
    for (const Sent &request : sent)
        if (request.slave == slave && request.netfn == netfn && request.command == command)
            found.push_back(request);
    return found;
}

// The flashing modules' own waits (ms): the transport's waits between
// attempts are all shorter than half a second.
inline std::vector<unsigned> module_waits_ms()
{
    constexpr unsigned SHORTEST_MODULE_WAIT_US = 500000;
    std::vector<unsigned> waits;
    for (unsigned microseconds : seams::sleeps_us)
        if (microseconds >= SHORTEST_MODULE_WAIT_US)
            waits.push_back(microseconds / 1000);
    return waits;
}

// A data file on disk holding `bytes`, loaded as the program would load it.
inline std::string write_temp_file(const std::vector<uint8_t> &bytes)
{
    char path[] = "/tmp/velmoran_unit_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) {
        if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            path[0] = '\0';
        close(fd);
    }
    return path;
}

}  // namespace model_link
