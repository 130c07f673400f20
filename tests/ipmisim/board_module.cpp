// SPDX-License-Identifier: GPL-3.0-or-later
// A loadable module for ipmi_sim that puts the one board model
// (sim/board_model.h) behind ipmi_sim's management controllers: the BMC
// requests stock ipmi_sim refuses and the boards' firmware transfer are the
// model's answers. It can also hold back chosen replies on the LAN (when it is
// also preloaded) to stand for a lost datagram. Load it both with loadlib and
// with LD_PRELOAD: the interposed functions need the latter, and both share
// the one copy of its state.
//
// Options (loadlib's second string, words "key=value"):
//   state=DIR          where each board's written image and counters go
//   rev=c0:1.10,...    the boards' revisions before any transfer
//   erase_polls=N      Get Device ID requests a board leaves unanswered while erasing
//   accept=both|alternate|none   the unlock codes the boards take
//   drop_data=K        hold back the reply to each board's K-th data command once
//   die=erase|data:K   the whole emulated BMC dies (SIGKILL) on the first erase
//                      poll, or on a board's K-th data command
// The simulator's headers declare C functions without saying so.
extern "C" {
#include <OpenIPMI/extcmd.h>
#include <OpenIPMI/ipmi_auth.h>
#include <OpenIPMI/mcserv.h>
#include <OpenIPMI/serv.h>
}

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_model.h"
#include "ipmi/ipmi_commands.h"

namespace {

constexpr uint8_t NETFN_CHASSIS_NUMBER = NETFN_CHASSIS >> 2;
constexpr uint8_t NETFN_APP_NUMBER = NETFN_APP >> 2;
constexpr uint8_t NETFN_FIRMWARE_NUMBER = NETFN_FIRMWARE >> 2;

constexpr uint8_t BOARD_ADDRESSES[] = {0xC0, 0xC2, 0xC4};
// A bridged exchange leaves ipmi_sim as two datagrams: the Send Message
// answer and the board's answer.
constexpr int DATAGRAMS_PER_BRIDGED_REPLY = 2;

// What the module counts per board, beside the model's own state.
struct Counters {
    unsigned int enters = 0;
    unsigned int data_commands = 0;
    bool dropped = false;
    bool erasing = false;  // unlocked, no erase poll answered yet
};

sys_data_t *simulator = nullptr;
qrxsim::Platform platform;
Counters counters[sizeof BOARD_ADDRESSES];
char state_dir[512] = ".";
unsigned int drop_data = 0;
bool die_in_erase = false;
unsigned int die_at_data = 0;
int datagrams_to_hold = 0;

int board_index(uint8_t address)
{
    for (size_t i = 0; i < sizeof BOARD_ADDRESSES; i++)
        if (BOARD_ADDRESSES[i] == address)
            return static_cast<int>(i);
    return -1;
}

qrxsim::Board *board_at(uint8_t address)
{
    for (qrxsim::Board &board : platform.boards)
        if (board.address == address)
            return &board;
    return nullptr;
}

void save_board(const qrxsim::Board &board, const Counters &count)
{
    char path[600];
    snprintf(path, sizeof path, "%s/board_%02x.bin", state_dir, board.address);
    if (FILE *file = fopen(path, "wb")) {
        fwrite(board.flash.data(), 1, board.flash.size(), file);
        fclose(file);
    }
    snprintf(path, sizeof path, "%s/board_%02x.txt", state_dir, board.address);
    if (FILE *file = fopen(path, "w")) {
        fprintf(file, "enters=%u\ndata_commands=%u\nrevision=%x.%02x\n", count.enters, count.data_commands,
                board.revision.major, board.revision.minor);
        fclose(file);
    }
}

// Every registered command: the model answers for the controller the
// request reached; what follows it on the board's side is the module's
// bookkeeping.
void handle(lmc_data_t *mc, msg_t *msg, unsigned char *rdata, unsigned int *rdata_len, void *)
{
    const uint8_t address = simulator->mc_get_ipmb(mc);
    const uint8_t netfn = static_cast<uint8_t>(msg->netfn << 2);
    const int board = board_index(address);
    // The BMC dying mid-flash, as asked: before the model sees the request.
    if (board >= 0) {
        const Counters &count = counters[board];
        const qrxsim::Board *state = board_at(address);
        if (die_in_erase && count.erasing && netfn == NETFN_APP && msg->cmd == CMD_GET_DEVICE_ID)
            kill(getpid(), SIGKILL);
        if (die_at_data != 0 && netfn == NETFN_FIRMWARE && msg->cmd == CMD_FW_DATA && state->in_transfer &&
            state->erase_left == 0 && count.data_commands + 1 == die_at_data)
            kill(getpid(), SIGKILL);
    }
    const qrxsim::Answer answer = qrxsim::answer_request(platform, address, netfn, msg->cmd, msg->data, msg->len);
    rdata[0] = answer.completion_code;
    memcpy(rdata + 1, answer.data, answer.length);
    *rdata_len = 1 + answer.length;

    if (board < 0 || answer.completion_code != qrxsim::CC_OK)
        return;
    Counters &count = counters[board];
    if (netfn == NETFN_APP && msg->cmd == CMD_GET_DEVICE_ID) {
        count.erasing = false;
    } else if (netfn != NETFN_FIRMWARE) {
        return;
    } else if (msg->cmd == CMD_ENTER_FW_XFER) {
        count.enters++;
        count.erasing = true;
        count.data_commands = 0;
        count.dropped = false;
    } else if (msg->cmd == CMD_FW_DATA) {
        count.data_commands++;
        if (drop_data != 0 && count.data_commands == drop_data && !count.dropped) {
            count.dropped = true;
            datagrams_to_hold = DATAGRAMS_PER_BRIDGED_REPLY;
        }
    } else if (msg->cmd == CMD_EXIT_FW_XFER) {
        save_board(*board_at(address), count);
    }
}

// "c0:1.10,c2:2.05": address, major (hex), minor (hex, as BCD is written).
void parse_revisions(const char *text)
{
    while (*text != '\0') {
        unsigned int address = 0, major = 0, minor = 0;
        int used = 0;
        if (sscanf(text, "%x:%x.%x%n", &address, &major, &minor, &used) != 3)
            return;
        if (qrxsim::Board *board = board_at(static_cast<uint8_t>(address))) {
            board->revision.major = static_cast<uint8_t>(major);
            board->revision.minor = static_cast<uint8_t>(minor);
        }
        text += used;
        if (*text == ',')
            text++;
    }
}

void parse_options(const char *options)
{
    char copy[1024];
    snprintf(copy, sizeof copy, "%s", options != nullptr ? options : "");
    char *save = nullptr;
    for (char *word = strtok_r(copy, " ", &save); word != nullptr; word = strtok_r(nullptr, " ", &save)) {
        char *equals = strchr(word, '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        const char *value = equals + 1;
        if (strcmp(word, "state") == 0) {
            snprintf(state_dir, sizeof state_dir, "%s", value);
        } else if (strcmp(word, "rev") == 0) {
            parse_revisions(value);
        } else if (strcmp(word, "erase_polls") == 0) {
            for (qrxsim::Board &board : platform.boards)
                board.erase_busy = atoi(value);
        } else if (strcmp(word, "drop_data") == 0) {
            drop_data = static_cast<unsigned int>(atoi(value));
        } else if (strcmp(word, "die") == 0 && strcmp(value, "erase") == 0) {
            die_in_erase = true;
        } else if (strcmp(word, "die") == 0 && strncmp(value, "data:", 5) == 0) {
            die_at_data = static_cast<unsigned int>(atoi(value + 5));
        } else if (strcmp(word, "accept") == 0) {
            qrxsim::UnlockRefusal refusal = strcmp(value, "both") == 0 ? qrxsim::UnlockRefusal::none
                : strcmp(value, "alternate") == 0                      ? qrxsim::UnlockRefusal::first
                                                                       : qrxsim::UnlockRefusal::both;
            for (qrxsim::Board &board : platform.boards)
                board.unlock_refused = refusal;
        }
    }
}

}  // namespace

extern "C" {

int ipmi_sim_module_print_version(sys_data_t *, char *)
{
    printf("velmoran board module 1\n");
    return 0;
}

int ipmi_sim_module_init(sys_data_t *sys, const char *options)
{
    simulator = sys;
    platform = qrxsim::Platform{};
    for (uint8_t address : BOARD_ADDRESSES) {
        qrxsim::Board board;
        board.address = address;
        board.revision = {0x01, 0x00};
        platform.boards.push_back(board);
    }
    parse_options(options);
    const struct {
        uint8_t netfn;
        uint8_t command;
    } commands[] = {
        {NETFN_APP_NUMBER, CMD_GET_DEVICE_ID},          {NETFN_APP_NUMBER, CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE},
        {NETFN_CHASSIS_NUMBER, CMD_GET_CHASSIS_STATUS}, {NETFN_CHASSIS_NUMBER, CMD_SET_FRONT_PANEL_ENABLES},
        {NETFN_FIRMWARE_NUMBER, CMD_ENTER_FW_XFER},     {NETFN_FIRMWARE_NUMBER, CMD_FW_DATA},
        {NETFN_FIRMWARE_NUMBER, CMD_EXIT_FW_XFER},
    };
    int failures = 0;
    for (const auto &command : commands)
        failures += ipmi_emu_register_cmd_handler(command.netfn, command.command, handle, nullptr) != 0;
    return failures == 0 ? 0 : -1;
}

// Interposed over the simulator's privilege table when the module is
// preloaded: ipmi_sim keeps Enable Message Channel Receive to the system
// interface, but the boards' BMC takes it over the LAN as well.
int ipmi_cmd_permitted(unsigned char privilege, unsigned char netfn, unsigned char command)
{
    using PERMITTED = int (*)(unsigned char, unsigned char, unsigned char);
    static PERMITTED real_permitted = reinterpret_cast<PERMITTED>(dlsym(RTLD_NEXT, "ipmi_cmd_permitted"));
    if (netfn == NETFN_APP_NUMBER && command == CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE)
        return IPMI_PRIV_PERMITTED;
    return real_permitted(privilege, netfn, command);
}

// Interposed over libc's when the module is preloaded: swallows the
// datagrams of a reply that a handler chose to hold back.
ssize_t sendmsg(int socket, const struct msghdr *message, int flags)
{
    using SENDMSG = ssize_t (*)(int, const struct msghdr *, int);
    static SENDMSG real_sendmsg = reinterpret_cast<SENDMSG>(dlsym(RTLD_NEXT, "sendmsg"));
    if (datagrams_to_hold > 0) {
        datagrams_to_hold--;
        ssize_t length = 0;
        for (size_t i = 0; i < message->msg_iovlen; i++)
            length += static_cast<ssize_t>(message->msg_iov[i].iov_len);
        return length;
    }
    return real_sendmsg(socket, message, flags);
}

}  // extern "C"
