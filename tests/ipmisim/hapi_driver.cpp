// SPDX-License-Identifier: GPL-3.0-or-later
// Test driver for a management library build: loads libqrxipm32.so and
// libqrxbas32.so by bare name, as the program does, and sends the program's
// request records. Each stdin line "ADDRESS NETFN COMMAND [DATA...]" (hex)
// prints "RETURN STATUS LENGTH CC DATA..."; "sysid" asks the base library;
// "time COUNT ADDRESS NETFN COMMAND [DATA...]" prints one latency per line (us).
#include <dlfcn.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipmi/hapi_packet.h"
#include "ipmi/ipmi_commands.h"

namespace {

// The expected-length rule the program writes at offset 24.
uint32_t expected_length(uint8_t address, uint8_t command)
{
    return address == BMC_SLAVE_ADDRESS ? 35 : command == CMD_GET_DEVICE_ID ? 18 : 32;
}

bool parse_request(char *line, HAPI_IPMI_PACKET *request, char **rest)
{
    unsigned int values[3 + HAPI_REQUEST_DATA_MAX];
    size_t count = 0;
    char *save = nullptr;
    for (char *word = strtok_r(line, " \t\n", &save); word != nullptr && count < 3 + HAPI_REQUEST_DATA_MAX;
         word = strtok_r(nullptr, " \t\n", &save))
        values[count++] = static_cast<unsigned int>(strtoul(word, nullptr, 16));
    if (rest != nullptr)
        *rest = save;
    if (count < 3)
        return false;
    memset(request, 0, sizeof *request);
    request->request_type = HAPI_REQUEST_TYPE;
    request->slave_address = static_cast<uint8_t>(values[0]);
    request->netfn = static_cast<uint8_t>(values[1]);
    request->command = static_cast<uint8_t>(values[2]);
    for (size_t i = 3; i < count; i++)
        request->data[i - 3] = static_cast<uint8_t>(values[i]);
    request->data_length = static_cast<uint32_t>(count - 1);
    request->response_length = expected_length(request->slave_address, request->command);
    return true;
}

double now_us()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec * 1e6 + time.tv_nsec / 1e3;
}

}  // namespace

int main()
{
    void *ipmi = dlopen(HAPI_IPMI_LIBRARY, RTLD_NOW);
    void *base = dlopen(HAPI_BASE_LIBRARY, RTLD_NOW);
    if (ipmi == nullptr || base == nullptr) {
        fprintf(stderr, "cannot load the libraries: %s\n", dlerror());
        return 2;
    }
    auto command = reinterpret_cast<HAPI_IPMI_ENTRY>(dlsym(ipmi, HAPI_IPMI_ENTRY_NAME));
    auto host_info = reinterpret_cast<HAPI_HOST_INFO_ENTRY>(dlsym(base, HAPI_HOST_INFO_ENTRY_NAME));
    if (command == nullptr || host_info == nullptr) {
        fprintf(stderr, "entry missing\n");
        return 2;
    }
    char line[1024];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        HAPI_IPMI_PACKET request{}, response{};
        if (strncmp(line, "sysid", 5) == 0) {
            uint8_t id = 0;
            uint16_t extended = 0;
            uint32_t area = 0;
            uint16_t result = host_info(&id, &extended, &area);
            printf("%u %02x %04x\n", result, id, extended);
        } else if (strncmp(line, "time ", 5) == 0) {
            char *rest = line + 5;
            long count = strtol(rest, &rest, 10);
            if (!parse_request(rest, &request, nullptr))
                continue;
            for (long i = 0; i < count; i++) {
                double start = now_us();
                uint16_t result = command(&request, &response);
                double elapsed = now_us() - start;
                uint8_t code = reinterpret_cast<uint8_t *>(&response)[HAPI_COMPLETION_CODE_OFFSET];
                printf("%.1f %u\n", elapsed, result == 1 && response.driver_status == 0 && code == 0);
            }
        } else if (parse_request(line, &request, nullptr)) {
            uint16_t result = command(&request, &response);
            const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&response);
            printf("%u %u %u", result, response.driver_status, response.response_length);
            uint32_t shown = response.response_length > HAPI_RESPONSE_LENGTH_MAX ? HAPI_RESPONSE_LENGTH_MAX
                                                                                 : response.response_length;
            for (uint32_t i = 2; i < shown; i++)
                printf(" %02x", bytes[HAPI_LENGTH_BASE + i]);
            printf("\n");
        }
        fflush(stdout);
    }
    dlclose(ipmi);
    dlclose(base);
    return 0;
}
