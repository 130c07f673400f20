// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and writing the simulated platform's state file: one setting per
// line, boards and faults one line each. Loaded once per library load, so
// none of this is on the per-request path.
#include "sim_state.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qrxsim {

namespace {

// Large enough for any count a test asks for, small enough to stay an int.
constexpr unsigned long COUNT_LIMIT = 1000000;
constexpr unsigned long CHASSIS_STATUS_LENGTH_LIMIT = 32;

bool parse_number(const std::string &word, unsigned long limit, unsigned long *value)
{
    if (word.empty())
        return false;
    char *end = nullptr;
    unsigned long parsed = strtoul(word.c_str(), &end, 0);
    if (*end != '\0' || parsed > limit)
        return false;
    *value = parsed;
    return true;
}

// "*" for any, else a byte.
bool parse_selector(const std::string &word, int *value)
{
    if (word == "*") {
        *value = -1;
        return true;
    }
    unsigned long parsed = 0;
    if (!parse_number(word, 0xFF, &parsed))
        return false;
    *value = static_cast<int>(parsed);
    return true;
}

// "MM.mm": the two revision bytes in hex, as the board reports them.
bool parse_revision(const std::string &word, Revision *revision)
{
    size_t dot = word.find('.');
    if (dot == std::string::npos)
        return false;
    unsigned long major = 0;
    unsigned long minor = 0;
    if (!parse_number("0x" + word.substr(0, dot), 0xFF, &major) ||
        !parse_number("0x" + word.substr(dot + 1), 0xFF, &minor))
        return false;
    revision->major = static_cast<uint8_t>(major);
    revision->minor = static_cast<uint8_t>(minor);
    return true;
}

std::string format_byte(unsigned value)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string format_revision(const Revision &revision)
{
    char text[8];
    snprintf(text, sizeof text, "%02X.%02X", revision.major, revision.minor);
    return text;
}

bool parse_board(std::istringstream &words, Board *board, std::string *error)
{
    std::string word;
    unsigned long address = 0;
    if (!(words >> word) || !parse_number(word, 0xFF, &address)) {
        *error = "board needs an address";
        return false;
    }
    board->address = static_cast<uint8_t>(address);
    while (words >> word) {
        size_t equals = word.find('=');
        std::string key = word.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        unsigned long number = 0;
        bool ok = true;
        if (key == "revision") {
            ok = parse_revision(value, &board->revision);
        } else if (key == "silent") {
            board->silent = true;
        } else if (key == "erase_busy") {
            if (value == "forever")
                board->erase_busy = ERASE_FOREVER;
            else if ((ok = parse_number(value, COUNT_LIMIT, &number)))
                board->erase_busy = static_cast<int>(number);
        } else if (key == "unlock_refused") {
            if (value == "first")
                board->unlock_refused = UnlockRefusal::first;
            else if (value == "both")
                board->unlock_refused = UnlockRefusal::both;
            else
                ok = false;
        } else if (key == "refuse_chunk") {
            if ((ok = parse_number(value, COUNT_LIMIT, &number)))
                board->refuse_chunk = static_cast<int>(number);
        } else if (key == "refuse_exit") {
            board->refuse_exit = true;
        } else if (key == "silent_after_flash") {
            board->silent_after_flash = true;
        } else if (key == "revision_after_flash") {
            ok = board->revision_after_flash_set = parse_revision(value, &board->revision_after_flash);
        } else {
            ok = false;
        }
        if (!ok) {
            *error = "bad board setting '" + word + "'";
            return false;
        }
    }
    return true;
}

int signal_number(const std::string &name)
{
    static const struct {
        const char *name;
        int number;
    } names[] = {{"TERM", SIGTERM}, {"HUP", SIGHUP},   {"QUIT", SIGQUIT}, {"KILL", SIGKILL},
                 {"INT", SIGINT},   {"PIPE", SIGPIPE}, {"STOP", SIGSTOP}};
    for (const auto &entry : names)
        if (name == entry.name)
            return entry.number;
    return 0;
}

bool parse_fault(std::istringstream &words, const std::string &text, Fault *fault, std::string *error)
{
    std::string target, netfn, command, kind, count;
    if (!(words >> target >> netfn >> command >> kind) || !parse_selector(target, &fault->target) ||
        !parse_selector(netfn, &fault->netfn) || !parse_selector(command, &fault->command)) {
        *error = "fault needs TARGET NETFN COMMAND KIND [COUNT] [after=N]";
        return false;
    }
    unsigned long number = 0;
    if (kind.rfind("cc=", 0) == 0 && parse_number(kind.substr(3), 0xFF, &number) && number != 0) {
        fault->kind = FaultKind::completion_code;
        fault->completion_code = static_cast<uint8_t>(number);
    } else if (kind == "driver") {
        fault->kind = FaultKind::driver_status;
    } else if (kind == "noexchange") {
        fault->kind = FaultKind::no_exchange;
    } else if (kind == "short") {
        fault->kind = FaultKind::short_answer;
    } else if (kind == "overlong") {
        fault->kind = FaultKind::overlong_answer;
    } else if (kind.rfind("signal=", 0) == 0 && signal_number(kind.substr(7)) != 0) {
        fault->kind = FaultKind::signal;
        fault->signal_number = signal_number(kind.substr(7));
    } else {
        *error = "unknown fault kind '" + kind + "'";
        return false;
    }
    // Then, in any order: COUNT (or "always") and after=N.
    static const std::string after_key = "after=";
    bool counted = false;
    while (words >> count) {
        if (count.rfind(after_key, 0) == 0) {
            if (!parse_number(count.substr(after_key.size()), COUNT_LIMIT, &number)) {
                *error = "bad fault start '" + count + "'";
                return false;
            }
            fault->pass_first = static_cast<int>(number);
            continue;
        }
        if (counted || (count != "always" && !parse_number(count, COUNT_LIMIT, &number))) {
            *error = "bad fault count '" + count + "'";
            return false;
        }
        counted = true;
        if (count != "always")
            fault->remaining = static_cast<int>(number);
    }
    fault->text = text;
    return true;
}

bool parse_line(const std::string &line, Platform *platform, std::string *error)
{
    std::istringstream words(line);
    std::string key;
    if (!(words >> key) || key[0] == '#')
        return true;
    std::string value;
    unsigned long number = 0;
    if (key == "board") {
        Board board;
        if (!parse_board(words, &board, error))
            return false;
        platform->boards.push_back(board);
        return true;
    }
    if (key == "fault") {
        Fault fault;
        std::string rest;
        std::getline(words, rest);
        size_t first = rest.find_first_not_of(" \t");
        std::string written = first == std::string::npos ? "" : rest.substr(first);
        std::istringstream fault_words(written);
        if (!parse_fault(fault_words, written, &fault, error))
            return false;
        platform->faults.push_back(fault);
        return true;
    }
    words >> value;
    if (key == "system_id" && parse_number(value, 0xFFFF, &number)) {
        platform->system_id = static_cast<uint16_t>(number);
    } else if (key == "front_panel" && parse_number(value, 0xFF, &number)) {
        platform->front_panel = static_cast<uint8_t>(number);
    } else if (key == "chassis_status_length" && parse_number(value, CHASSIS_STATUS_LENGTH_LIMIT, &number)) {
        platform->chassis_status_length = static_cast<int>(number);
    } else if (key == "link" && (value == "local" || value == "remote")) {
        platform->remote = value == "remote";
    } else if (key == "bmc" && (value == "answering" || value == "silent")) {
        platform->bmc_silent = value == "silent";
    } else if (key == "host_info" && value == "auto") {
        platform->host_info = HostInfoForm::automatic;
    } else if (key == "host_info" && value == "plain") {
        platform->host_info = HostInfoForm::plain;
    } else if (key == "host_info" && value == "escape") {
        platform->host_info = HostInfoForm::escape;
    } else if (key == "host_info" && value == "fail") {
        platform->host_info = HostInfoForm::fail;
        std::string failure;
        if (words >> failure) {
            if (!parse_number(failure, 0xFFFF, &number) || number == HOST_INFO_SUCCESS) {
                *error = "a failing host_info must not return 1";
                return false;
            }
            platform->host_info_failure = static_cast<uint16_t>(number);
        }
    } else {
        *error = "cannot read '" + line + "'";
        return false;
    }
    return true;
}

const char *host_info_word(HostInfoForm form)
{
    switch (form) {
    case HostInfoForm::plain: return "plain";
    case HostInfoForm::escape: return "escape";
    case HostInfoForm::fail: return "fail";
    case HostInfoForm::automatic: break;
    }
    return "auto";
}

}  // namespace

Platform default_platform()
{
    Platform platform;
    Board primary;
    primary.address = 0xC0;
    Board secondary;
    secondary.address = 0xC2;
    platform.boards = {primary, secondary};
    return platform;
}

bool parse_platform(const std::string &text, Platform *platform, std::string *error)
{
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    bool all_read = true;
    while (std::getline(lines, line)) {
        number++;
        std::string line_error;
        if (!parse_line(line, platform, &line_error)) {
            if (all_read)
                *error = "line " + std::to_string(number) + ": " + line_error;
            all_read = false;
        }
    }
    return all_read;
}

Platform load_platform()
{
    const char *path = getenv(STATE_ENVIRONMENT);
    if (path == nullptr || *path == '\0')
        return default_platform();
    Platform platform;
    std::ifstream file(path);
    if (!file) {
        fprintf(stderr, "qrxsim: cannot read %s, using the built-in platform\n", path);
        return default_platform();
    }
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    if (!parse_platform(text.str(), &platform, &error))
        fprintf(stderr, "qrxsim: %s: %s\n", path, error.c_str());
    return platform;
}

std::string render_platform(const Platform &platform)
{
    std::string text = "# simulated platform state; format in sim/README.md\n";
    char number[16];
    snprintf(number, sizeof number, "0x%04X", platform.system_id);
    text += "system_id " + std::string(number) + "\n";
    text += "host_info " + std::string(host_info_word(platform.host_info));
    if (platform.host_info == HostInfoForm::fail)
        text += " " + std::to_string(platform.host_info_failure);
    text += "\n";
    text += "front_panel " + format_byte(platform.front_panel) + "\n";
    text += std::string("bmc ") + (platform.bmc_silent ? "silent" : "answering") + "\n";
    text += "chassis_status_length " + std::to_string(platform.chassis_status_length) + "\n";
    if (platform.remote)
        text += "link remote\n";
    for (const Board &board : platform.boards) {
        text += "board " + format_byte(board.address) + " revision=" + format_revision(board.revision);
        if (board.silent)
            text += " silent";
        if (board.erase_busy == ERASE_FOREVER)
            text += " erase_busy=forever";
        else
            text += " erase_busy=" + std::to_string(board.erase_busy);
        if (board.unlock_refused != UnlockRefusal::none)
            text += board.unlock_refused == UnlockRefusal::first ? " unlock_refused=first" : " unlock_refused=both";
        if (board.refuse_chunk != 0)
            text += " refuse_chunk=" + std::to_string(board.refuse_chunk);
        if (board.refuse_exit)
            text += " refuse_exit";
        if (board.silent_after_flash)
            text += " silent_after_flash";
        if (board.revision_after_flash_set)
            text += " revision_after_flash=" + format_revision(board.revision_after_flash);
        text += "\n";
    }
    for (const Fault &fault : platform.faults)
        text += "fault " + fault.text + "\n";
    return text;
}

std::string state_folder()
{
    const char *path = getenv(STATE_ENVIRONMENT);
    if (path == nullptr || *path == '\0')
        return "";
    std::string folder(path);
    size_t slash = folder.rfind('/');
    return slash == std::string::npos ? "." : folder.substr(0, slash);
}

bool service_running()
{
    std::string folder = state_folder();
    if (folder.empty())
        return true;
    std::ifstream file(folder + "/" + SERVICE_FILE_NAME);
    std::string line;
    bool installed = true;
    bool running = true;
    // The service scripts write shell assignments: installed=1, running=0, ...
    static const std::string installed_key = "installed=";
    static const std::string running_key = "running=";
    while (std::getline(file, line)) {
        if (line.rfind(installed_key, 0) == 0)
            installed = line.substr(installed_key.size()) == "1";
        else if (line.rfind(running_key, 0) == 0)
            running = line.substr(running_key.size()) == "1";
    }
    return installed && running;
}

}  // namespace qrxsim
