// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated IPMI library: the board model (board_model.h) behind the
// library's entry. Owns the platform for the life of the library load: read
// on first use, written as it changes and on unload, with the request log.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>

#include "board_model.h"
#include "ipmi/hapi_packet.h"
#include "qrxsim_hooks.h"
#include "sim_state.h"

#define QRXSIM_EXPORT extern "C" __attribute__((visibility("default")))
// The variant without the entry exports it under another name only.
#ifdef QRXSIM_WITHOUT_ENTRY
#define QRXSIM_IPMI_ENTRY qrxsim_withheld_ipmi_entry
#else
#define QRXSIM_IPMI_ENTRY QRXIPMCommand
#endif

namespace qrxsim {

namespace {

constexpr uint32_t REQUEST_HEADER_BYTES = HAPI_COMPLETION_CODE_OFFSET - HAPI_LENGTH_BASE;

// The whole platform lives here from the first request to the unload. What
// a killed process would leave is written as it changes (state file, board
// flash, request log), so the next run finds it; the unload writes it all.
struct Session {
    bool loaded = false;
    bool refused = false;  // another process holds the platform
    Platform platform;
    bool service_up = true;
    std::string state_path;
    int lock_fd = -1;
    int log_fd = -1;
    QRXSIM_RESPONDER responder = nullptr;

    void load()
    {
        loaded = true;
        if (const char *path = getenv(STATE_ENVIRONMENT))
            state_path = path;
        if (!state_path.empty() && !lock())
            return;
        platform = load_platform();
        // A BMC reached over the network does not need this server's service.
        service_up = platform.remote || service_running();
        if (const char *path = getenv(REQUEST_LOG_ENVIRONMENT))
            log_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }

    bool lock();
    void persist();
    void save();

    ~Session()
    {
        if (loaded && !refused)
            save();
        if (log_fd >= 0)
            close(log_fd);
        if (lock_fd >= 0)
            close(lock_fd);
    }
};

Session session;

// One process at a time drives a platform, as one BMC serves one flash run:
// the holder's pid is kept in the lock file for the one that is turned away.
bool Session::lock()
{
    const char *chosen = getenv(LOCK_ENVIRONMENT);
    std::string path = chosen != nullptr && *chosen != '\0' ? chosen : state_path + ".lock";
    lock_fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (lock_fd >= 0 && flock(lock_fd, LOCK_EX | LOCK_NB) == 0) {
        char pid[24];
        int length = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
        if (ftruncate(lock_fd, 0) != 0 || pwrite(lock_fd, pid, static_cast<size_t>(length), 0) != length)
            fprintf(stderr, "qrxsim: cannot write %s\n", path.c_str());
        return true;
    }
    char holder[24] = "unknown";
    if (lock_fd >= 0) {
        char text[sizeof holder] = {};
        ssize_t length = pread(lock_fd, text, sizeof text - 1, 0);
        text[length > 0 ? length : 0] = '\0';
        // Only a plain pid is shown: the file may hold anything.
        size_t digits = strspn(text, "0123456789");
        if (digits > 0 && (text[digits] == '\0' || strcmp(text + digits, "\n") == 0)) {
            text[digits] = '\0';
            snprintf(holder, sizeof holder, "%s", text);
        }
        close(lock_fd);
        lock_fd = -1;
    }
    fprintf(stderr, "qrxsim: platform %s is in use by process %s\n", state_path.c_str(), holder);
    fflush(stderr);
    refused = true;
    return false;
}

void write_file(const std::string &path, const char *bytes, size_t length, std::ios::openmode mode)
{
    std::ofstream file(path, mode | std::ios::binary);
    file.write(bytes, static_cast<std::streamsize>(length));
    if (!file)
        fprintf(stderr, "qrxsim: cannot write %s\n", path.c_str());
}

std::string image_path(const Board &board)
{
    char name[32];
    snprintf(name, sizeof name, "/board_%02x.bin", board.address);
    return state_folder() + name;
}

// The state as a killed run leaves it: a board in transfer mode has no
// complete firmware and comes back from its boot block.
void Session::persist()
{
    if (state_path.empty())
        return;
    Platform left = platform;
    end_run(left);
    std::string text = render_platform(left);
    std::string temporary = state_path + ".tmp";
    write_file(temporary, text.data(), text.size(), std::ios::trunc);
    if (rename(temporary.c_str(), state_path.c_str()) != 0)
        fprintf(stderr, "qrxsim: cannot write %s\n", state_path.c_str());
}

void Session::save()
{
    if (state_path.empty())
        return;
    std::string folder = state_folder();
    end_run(platform);
    for (const Board &board : platform.boards) {
        if (board.flash_touched) {
            char name[32];
            snprintf(name, sizeof name, "/board_%02x.bin", board.address);
            write_file(folder + name, reinterpret_cast<const char *>(board.flash.data()), board.flash.size(),
                       std::ios::trunc);
        }
    }
    persist();
}

void log_request(const HAPI_IPMI_PACKET *request)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string log;
    auto hex_byte = [&log](uint8_t byte) {
        log += HEX[byte >> 4];
        log += HEX[byte & 0x0F];
    };
    hex_byte(request->slave_address);
    log += ' ';
    hex_byte(request->netfn);
    log += ' ';
    hex_byte(request->command);
    uint32_t data_length =
        request->data_length >= REQUEST_HEADER_BYTES ? request->data_length - REQUEST_HEADER_BYTES : 0;
    if (data_length > HAPI_REQUEST_DATA_MAX)
        data_length = HAPI_REQUEST_DATA_MAX;
    if (data_length > 0)
        log += ' ';
    for (uint32_t i = 0; i < data_length; i++)
        hex_byte(request->data[i]);
    log += '\n';
    // One write per line, at once: a killed run's requests are all in the log.
    if (write(session.log_fd, log.data(), log.size()) != static_cast<ssize_t>(log.size()))
        fprintf(stderr, "qrxsim: cannot write the request log\n");
}

// What the model's changes mean here: the state file, the board's image
// file and signals, each written at once so a killed run leaves them.
class SessionObserver : public Observer {
public:
    void platform_changed() override { session.persist(); }

    void board_erased(const Board &board) override
    {
        if (!session.state_path.empty())
            write_file(image_path(board), reinterpret_cast<const char *>(board.flash.data()), board.flash.size(),
                       std::ios::trunc);
    }

    void board_written(const Board &board, uint32_t offset, uint32_t count) override
    {
        if (session.state_path.empty())
            return;
        int fd = open(image_path(board).c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || pwrite(fd, board.flash.data() + offset, count, offset) != static_cast<ssize_t>(count))
            fprintf(stderr, "qrxsim: cannot write the image of board 0x%02X\n", board.address);
        if (fd >= 0)
            close(fd);
    }

    void signal_requested(int signal_number) override { kill(getpid(), signal_number); }
};

SessionObserver observer;

}  // namespace

}  // namespace qrxsim

QRXSIM_EXPORT uint16_t QRXSIM_IPMI_ENTRY(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    using namespace qrxsim;
    if (!session.loaded)
        session.load();
    // Turned away: nothing reaches the platform, nothing is logged.
    if (session.refused)
        return ENTRY_NOT_CARRIED_OUT;
    if (session.log_fd >= 0)
        log_request(request);
    if (session.responder != nullptr)
        return session.responder(request, response);

    return exchange(session.platform, session.service_up, request, response, &observer);
}

// Read from the state file on its own, without taking the platform: the
// program asks before it loads the library for the run.
QRXSIM_EXPORT uint16_t QRXIPMIsRemote()
{
    return qrxsim::load_platform().remote ? 1 : 0;
}

static_assert(std::is_same_v<decltype(&QRXIPMIsRemote), HAPI_LINK_ENTRY>);

QRXSIM_EXPORT void qrxsim_set_responder(QRXSIM_RESPONDER responder)
{
    qrxsim::session.responder = responder;
}
