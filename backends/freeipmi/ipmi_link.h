// SPDX-License-Identifier: GPL-3.0-or-later
// The seam between the backend's session logic and the IPMI library that
// carries its requests: open a link, exchange one raw request, close it.
// The FreeIPMI implementation lives in freeipmi_link.cpp; tests bring fakes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend_config.h"

enum LINK_RESULT : uint8_t {
    LINK_OK = 0,
    LINK_NO_ANSWER = 1,     // the target did not answer; the session is still good
    LINK_SESSION_LOST = 2,  // the session timed out or broke; reopen before the next request
    LINK_NOT_FOUND = 3,     // no BMC answered, or no in-band interface exists
    LINK_REFUSED = 4,       // authentication or permission refused; retrying cannot help
    LINK_FAILED = 5,        // anything else
};

constexpr size_t LINK_DETAIL_SIZE = 256;

// One request: the command byte first, then its data.
struct LINK_REQUEST {
    uint8_t slave_address;
    uint8_t lun;
    uint8_t netfn;  // the IPMI network function, not shifted
    const uint8_t *bytes;
    size_t length;
};

struct LINK_OPS {
    // On success `*link` is the open link. `detail` receives a reason on failure.
    LINK_RESULT (*open)(const BACKEND_CONFIG *config, void **link, char *detail, size_t detail_size);
    // On LINK_OK `answer` holds `*answer_length` bytes: command, completion
    // code, data; fewer than two bytes is possible from a broken target.
    LINK_RESULT (*exchange)
    (void *link, const LINK_REQUEST *request, uint8_t *answer, size_t answer_capacity, size_t *answer_length);
    void (*close)(void *link);
};

// The FreeIPMI link: in-band through the server's own interface, or LAN 2.0.
const LINK_OPS *freeipmi_link_ops();

// How a FreeIPMI error number reads for the session logic; `opening` tells
// whether it came from opening the session or from a request.
LINK_RESULT freeipmi_classify_error(int errnum, bool opening);
