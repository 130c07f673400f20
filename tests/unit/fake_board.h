// SPDX-License-Identifier: GPL-3.0-or-later
// A scripted stand-in for the BMC and the boards behind it, for the suites of
// the flashing modules: it replaces the transport's exec_command and DelayMS
// (include it in exactly one file of a test program), records every command
// and wait, keeps each board's flash memory and answers as a board would.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "flash/bp_flash.h"
#include "ipmi/ipmi_commands.h"
#include "ipmi/ipmi_transport.h"
#include "unlock_codes.h"

struct SentCommand {
    uint8_t slave;
    uint8_t netfn;
    uint8_t command;
    uint8_t attempts;
    uint16_t delay_ms;
    std::vector<uint8_t> data;
};

struct FakeBoard {
    uint8_t major = 1;
    uint8_t minor = 0x05;
    bool answers = true;
    // Faults, each off by default.
    bool refuse_unlock = false;            // the first unlock code
    bool refuse_alt_unlock = false;
    int erase_polls_unanswered = 1;        // polls before the erase is done; -1: never
    int refuse_data_command = 0;           // 1-based index of the refused data command
    bool refuse_exit = false;
    bool silent_after_flash = false;
    int unanswered_revision_reads = 0;     // Get Device IDs after EXIT that stay silent
    bool keep_old_revision = false;        // answers with its old revision after the flash
    uint8_t boot_block_after_flash = 0;    // ORed into the major byte after the flash
    // What happened to it.
    bool in_transfer = false;
    bool exited = false;
    int erase_polls = 0;
    int data_commands = 0;
    std::array<uint8_t, 0x10000> memory{};
};

struct FakePlatform {
    std::map<uint8_t, FakeBoard> boards;
    std::vector<SentCommand> sent;
    std::vector<unsigned> delays_ms;
    std::vector<uint8_t> chassis_answer{0x01, 0x00, 0x00, 0xF0};
    std::vector<uint8_t> front_panel_writes;
    // The revision a flashed image carries, which a real board would read from the image.
    uint8_t image_major = 1;
    uint8_t image_minor = 0x06;

    void reset() { *this = FakePlatform{}; }

    std::vector<SentCommand> commands_to(uint8_t slave, uint8_t netfn, uint8_t command) const
    {
        std::vector<SentCommand> found;
        for (const SentCommand &sent_command : sent)
            if (sent_command.slave == slave && sent_command.netfn == netfn && sent_command.command == command)
                found.push_back(sent_command);
        return found;
    }
};

inline FakePlatform fake;

inline bool fake_answer_board(FakeBoard &board, uint8_t netfn, uint8_t command, IPMI_DRIVER_STRUCT *cmd)
{
    if (!board.answers)
        return false;
    if (netfn == NETFN_APP && command == CMD_GET_DEVICE_ID) {
        if (board.in_transfer) {
            board.erase_polls++;
            return board.erase_polls_unanswered >= 0 && board.erase_polls > board.erase_polls_unanswered;
        }
        if (board.exited) {
            if (board.silent_after_flash)
                return false;
            if (board.unanswered_revision_reads > 0) {
                board.unanswered_revision_reads--;
                return false;
            }
        }
        cmd->response_length = DEVICE_ID_ANSWER_LENGTH;
        memset(cmd->response_data, 0, DEVICE_ID_ANSWER_LENGTH);
        cmd->response_data[DEVICE_ID_FW_REVISION_1] = board.major;
        cmd->response_data[DEVICE_ID_FW_REVISION_2] = board.minor;
        return true;
    }
    if (netfn != NETFN_FIRMWARE)
        return false;
    if (command == CMD_ENTER_FW_XFER) {
        static constexpr char unlock[] = {UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3, UNLOCK_CODE_4};
        static constexpr char alt_unlock[] = {ALT_UNLOCK_CODE_1, ALT_UNLOCK_CODE_2, ALT_UNLOCK_CODE_3,
                                              ALT_UNLOCK_CODE_4};
        bool sized = cmd->request_length == UNLOCK_CODE_LENGTH;
        bool first = sized && memcmp(cmd->request_data, unlock, UNLOCK_CODE_LENGTH) == 0;
        bool alternate = sized && memcmp(cmd->request_data, alt_unlock, UNLOCK_CODE_LENGTH) == 0;
        if ((first && board.refuse_unlock) || (alternate && board.refuse_alt_unlock) || (!first && !alternate))
            return false;
        board.in_transfer = true;
        board.exited = false;
        board.erase_polls = 0;
        board.data_commands = 0;
        board.memory.fill(0xFF);
        return true;
    }
    if (command == CMD_FW_DATA) {
        board.data_commands++;
        if (!board.in_transfer || board.data_commands == board.refuse_data_command)
            return false;
        uint16_t address = static_cast<uint16_t>(cmd->request_data[0] | (cmd->request_data[1] << 8));
        for (uint16_t i = 2; i < cmd->request_length; i++)
            board.memory[static_cast<uint16_t>(address + i - 2)] = cmd->request_data[i];
        return true;
    }
    if (command == CMD_EXIT_FW_XFER) {
        if (board.refuse_exit)
            return false;
        if (board.in_transfer && !board.keep_old_revision) {
            board.major = static_cast<uint8_t>(fake.image_major | board.boot_block_after_flash);
            board.minor = fake.image_minor;
        }
        board.in_transfer = false;
        board.exited = true;
        return true;
    }
    return false;
}

inline bool fake_answer_bmc(uint8_t netfn, uint8_t command, IPMI_DRIVER_STRUCT *cmd)
{
    if (netfn == NETFN_CHASSIS && command == CMD_GET_CHASSIS_STATUS) {
        cmd->response_length = static_cast<uint16_t>(fake.chassis_answer.size());
        memcpy(cmd->response_data, fake.chassis_answer.data(), fake.chassis_answer.size());
        return true;
    }
    if (netfn == NETFN_CHASSIS && command == CMD_SET_FRONT_PANEL_ENABLES) {
        fake.front_panel_writes.push_back(cmd->request_data[0]);
        cmd->response_length = 0;
        return true;
    }
    return false;
}

RETURN_CODE exec_command(unsigned char slave_address, unsigned char netfn, unsigned char command, IPMI_DRIVER_STRUCT *cmd)
{
    fake.sent.push_back({slave_address, netfn, command, cmd->retry_count, cmd->retry_delay,
                         std::vector<uint8_t>(cmd->request_data, cmd->request_data + cmd->request_length)});
    bool answered;
    if (slave_address == BMC_SLAVE_ADDRESS) {
        answered = fake_answer_bmc(netfn, command, cmd);
    } else {
        auto board = fake.boards.find(slave_address);
        answered = board != fake.boards.end() && fake_answer_board(board->second, netfn, command, cmd);
    }
    if (!answered)
        return RC_FAILED;
    cmd->completion_code = 0;
    cmd->response_offset = 0;
    return RC_SUCCESS;
}

RETURN_CODE hapi_exec_command(unsigned char, unsigned char, unsigned char, IPMI_DRIVER_STRUCT *)
{
    return RC_FAILED;
}

void DelayMS(unsigned int milliseconds)
{
    fake.delays_ms.push_back(milliseconds);
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
