// The simulated IPMI library: the board model (board_model.h) behind the
// library's entry. Owns the platform for the life of the library load: read
// on first use, written back on unload, with the request log.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

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
constexpr size_t REQUEST_LOG_RESERVE = 1 << 20;

// The whole platform lives here from the first request to the unload; the
// destructor is the one place that writes it back.
struct Session {
    bool loaded = false;
    Platform platform;
    bool service_up = true;
    std::string state_path;
    std::string log_path;
    std::string request_log;
    QRXSIM_RESPONDER responder = nullptr;

    void load()
    {
        loaded = true;
        platform = load_platform();
        service_up = service_running();
        if (const char *path = getenv(STATE_ENVIRONMENT))
            state_path = path;
        if (const char *path = getenv(REQUEST_LOG_ENVIRONMENT)) {
            log_path = path;
            request_log.reserve(REQUEST_LOG_RESERVE);
        }
    }

    void save();

    ~Session()
    {
        if (loaded)
            save();
    }
};

Session session;

void write_file(const std::string &path, const char *bytes, size_t length, std::ios::openmode mode)
{
    std::ofstream file(path, mode | std::ios::binary);
    file.write(bytes, static_cast<std::streamsize>(length));
    if (!file)
        fprintf(stderr, "qrxsim: cannot write %s\n", path.c_str());
}

void Session::save()
{
    if (!log_path.empty())
        write_file(log_path, request_log.data(), request_log.size(), std::ios::app);
    if (state_path.empty())
        return;
    std::string folder = state_folder();
    end_run(platform);
    for (const Board &board : platform.boards) {
        if (board.flash_touched) {
            char name[32];
            snprintf(name, sizeof name, "/board_%02x.bin", board.address);
            write_file(folder + name, reinterpret_cast<const char *>(board.flash.data()), board.flash.size(), std::ios::trunc);
        }
    }
    std::string text = render_platform(platform);
    write_file(state_path, text.data(), text.size(), std::ios::trunc);
}

void log_request(const HAPI_IPMI_PACKET *request)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string &log = session.request_log;
    auto hex_byte = [&log](uint8_t byte) {
        log += HEX[byte >> 4];
        log += HEX[byte & 0x0F];
    };
    hex_byte(request->slave_address);
    log += ' ';
    hex_byte(request->netfn);
    log += ' ';
    hex_byte(request->command);
    uint32_t data_length = request->data_length >= REQUEST_HEADER_BYTES ? request->data_length - REQUEST_HEADER_BYTES : 0;
    if (data_length > HAPI_REQUEST_DATA_MAX)
        data_length = HAPI_REQUEST_DATA_MAX;
    if (data_length > 0)
        log += ' ';
    for (uint32_t i = 0; i < data_length; i++)
        hex_byte(request->data[i]);
    log += '\n';
}

}  // namespace

}  // namespace qrxsim

QRXSIM_EXPORT uint16_t QRXSIM_IPMI_ENTRY(HAPI_IPMI_PACKET *request, HAPI_IPMI_PACKET *response)
{
    using namespace qrxsim;
    if (!session.loaded)
        session.load();
    if (!session.log_path.empty())
        log_request(request);
    if (session.responder != nullptr)
        return session.responder(request, response);

    return exchange(session.platform, session.service_up, request, response);
}

QRXSIM_EXPORT void qrxsim_set_responder(QRXSIM_RESPONDER responder)
{
    qrxsim::session.responder = responder;
}
