// SPDX-License-Identifier: GPL-3.0-or-later
// The FreeIPMI backend's own logic, with the IPMI library replaced by a fake
// link: record-to-request mapping, answers into the 68-byte record, session
// opening and reopening, configuration and host information.
#include <gtest/gtest.h>

#ifdef VELMORAN_WITHOUT_FREEIPMI

TEST(freeipmi_backend, needs_freeipmi)
{
    GTEST_SKIP() << "FreeIPMI development files not installed; backend not built";
}

#else

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <freeipmi/api/ipmi-api.h>

#include "backend_config.h"
#include "backend_session.h"
#include "host_info.h"
#include "ipmi_link.h"

namespace {

struct FAKE_LINK {
    LINK_RESULT open_result = LINK_OK;
    const char *open_detail = "";
    std::vector<LINK_RESULT> exchange_results;  // consumed front first; then LINK_OK
    std::vector<uint8_t> answer;
    int opens = 0;
    int closes = 0;
    int exchanges = 0;
    LINK_REQUEST last{};
    std::vector<uint8_t> last_bytes;
} fake;

int fake_handle;

LINK_RESULT fake_open(const BACKEND_CONFIG *, void **link, char *detail, size_t detail_size)
{
    fake.opens++;
    snprintf(detail, detail_size, "%s", fake.open_detail);
    *link = fake.open_result == LINK_OK ? &fake_handle : nullptr;
    return fake.open_result;
}

LINK_RESULT fake_exchange(void *link, const LINK_REQUEST *request, uint8_t *answer, size_t capacity,
                          size_t *answer_length)
{
    EXPECT_EQ(link, &fake_handle);
    fake.exchanges++;
    fake.last = *request;
    fake.last_bytes.assign(request->bytes, request->bytes + request->length);
    LINK_RESULT result = LINK_OK;
    if (!fake.exchange_results.empty()) {
        result = fake.exchange_results.front();
        fake.exchange_results.erase(fake.exchange_results.begin());
    }
    *answer_length = 0;
    if (result == LINK_OK) {
        size_t length = std::min(capacity, fake.answer.size());
        if (length > 0)
            memcpy(answer, fake.answer.data(), length);
        *answer_length = length;
    }
    return result;
}

void fake_close(void *)
{
    fake.closes++;
}

constexpr LINK_OPS fake_ops = {fake_open, fake_exchange, fake_close};

// The record followed by bytes that must never be written.
struct GUARDED_RECORD {
    HAPI_IPMI_PACKET record;
    uint8_t guard[16];
};
constexpr uint8_t GUARD_BYTE = 0xA5;

// The lock files of these tests live in a folder of their own.
std::string lock_folder()
{
    static std::string folder;
    if (folder.empty()) {
        char name[] = "/tmp/velmoran_locks_XXXXXX";
        folder = mkdtemp(name) != nullptr ? name : "/tmp";
        session_set_lock_folder(folder.c_str());
    }
    return folder;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = FAKE_LINK{};
        BACKEND_CONFIG config;
        config_defaults(&config);
        lock_folder();
        session_reset(&fake_ops, &config);
        memset(&response, GUARD_BYTE, sizeof response);
    }
    void TearDown() override { session_unload(); }

    void use_lan(const char *host, uint16_t port)
    {
        BACKEND_CONFIG config;
        config_defaults(&config);
        config.interface = INTERFACE_LAN;
        snprintf(config.host, sizeof config.host, "%s", host);
        config.port = port;
        session_reset(&fake_ops, &config);
    }

    // Takes a target's lock as another run would; -1 when it is held.
    static int hold_lock(const std::string &name, const char *pid_text)
    {
        std::string path = lock_folder() + "/" + name;
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (fd >= 0)
                close(fd);
            return -1;
        }
        if (pid_text != nullptr && (ftruncate(fd, 0) != 0 || write(fd, pid_text, strlen(pid_text)) < 0))
            ADD_FAILURE() << "cannot write " << path;
        return fd;
    }

    HAPI_IPMI_PACKET request_to(uint8_t address, uint8_t netfn, uint8_t command, std::vector<uint8_t> data = {})
    {
        HAPI_IPMI_PACKET request{};
        request.request_type = HAPI_REQUEST_TYPE;
        request.slave_address = address;
        request.netfn = netfn;
        request.command = command;
        if (!data.empty())
            memcpy(request.data, data.data(), data.size());
        request.data_length = static_cast<uint32_t>(data.size() + 2);
        return request;
    }

    uint16_t send(const HAPI_IPMI_PACKET &request) { return session_exchange(&request, &response.record); }

    const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(&response.record); }

    GUARDED_RECORD response;
};

TEST_F(SessionTest, maps_record_to_raw_request_with_lun_and_unshifted_netfn)
{
    fake.answer = {0x32, 0x00};
    ASSERT_EQ(send(request_to(0x20, 0x1B, 0x32, {0x00, 0x01})), 1);
    EXPECT_EQ(fake.last.slave_address, 0x20);
    EXPECT_EQ(fake.last.netfn, 0x06);
    EXPECT_EQ(fake.last.lun, 0x03);
    EXPECT_EQ(fake.last_bytes, (std::vector<uint8_t>{0x32, 0x00, 0x01}));
}

TEST_F(SessionTest, carries_the_full_33_request_bytes)
{
    std::vector<uint8_t> data(HAPI_REQUEST_DATA_MAX);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i + 1);
    fake.answer = {0x01, 0x00};
    ASSERT_EQ(send(request_to(0xC0, 0x20, 0x01, data)), 1);
    ASSERT_EQ(fake.last_bytes.size(), 1 + HAPI_REQUEST_DATA_MAX);
    EXPECT_EQ(fake.last_bytes.back(), HAPI_REQUEST_DATA_MAX);
}

TEST_F(SessionTest, refuses_request_lengths_outside_the_record_without_exchanging)
{
    for (uint32_t length : {0u, 1u, static_cast<uint32_t>(2 + HAPI_REQUEST_DATA_MAX + 1), 0xFFFFFFFFu}) {
        HAPI_IPMI_PACKET request = request_to(0x20, 0x18, 0x01);
        request.data_length = length;
        EXPECT_EQ(send(request), 0) << "data length " << length;
    }
    EXPECT_EQ(fake.exchanges, 0);
    EXPECT_EQ(fake.opens, 0);
}

struct ANSWER_CASE {
    const char *name;
    std::vector<uint8_t> answer;
    uint32_t driver_status;
    uint32_t response_length;
    uint8_t completion_code;
};

class AnswerTest : public SessionTest, public ::testing::WithParamInterface<ANSWER_CASE> {};

TEST_P(AnswerTest, fills_record_within_its_68_bytes)
{
    const ANSWER_CASE &expected = GetParam();
    fake.answer = expected.answer;
    ASSERT_EQ(send(request_to(0xC0, 0x18, 0x01)), 1);
    EXPECT_EQ(response.record.driver_status, expected.driver_status);
    EXPECT_EQ(response.record.response_length, expected.response_length);
    if (expected.driver_status == DRIVER_STATUS_SUCCESS) {
        EXPECT_EQ(bytes()[HAPI_COMPLETION_CODE_OFFSET], expected.completion_code);
        EXPECT_EQ(response.record.netfn, 0x1C);
        size_t data_length = expected.response_length - 3;
        EXPECT_EQ(0, memcmp(bytes() + HAPI_RESPONSE_DATA_OFFSET, expected.answer.data() + 2, data_length));
    }
    for (uint8_t guard : response.guard)
        ASSERT_EQ(guard, GUARD_BYTE) << "wrote past the record";
}

std::vector<uint8_t> answer_of(uint8_t code, size_t data_length)
{
    std::vector<uint8_t> answer = {0x01, code};
    for (size_t i = 0; i < data_length; i++)
        answer.push_back(static_cast<uint8_t>(0x40 + i));
    return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    ::testing::Values(ANSWER_CASE{"device_id", answer_of(0x00, 15), DRIVER_STATUS_SUCCESS, 18, 0x00},
                      ANSWER_CASE{"refusal_kept_as_completion_code", answer_of(0xC1, 0), DRIVER_STATUS_SUCCESS, 3,
                                  0xC1},
                      ANSWER_CASE{"fills_record_exactly", answer_of(0x00, 37), DRIVER_STATUS_SUCCESS, 40, 0},
                      ANSWER_CASE{"cut_to_what_the_record_holds", answer_of(0x00, 300), DRIVER_STATUS_SUCCESS, 40, 0},
                      ANSWER_CASE{"command_byte_only", {0x01}, DRIVER_STATUS_MALFORMED_ANSWER, 0, 0},
                      ANSWER_CASE{"empty", {}, DRIVER_STATUS_MALFORMED_ANSWER, 0, 0}),
    [](const ::testing::TestParamInfo<ANSWER_CASE> &info) { return std::string(info.param.name); });

TEST_F(SessionTest, no_answer_reads_as_a_timeout_and_keeps_session)
{
    fake.exchange_results = {LINK_NO_ANSWER};
    fake.answer = answer_of(0x00, 15);
    EXPECT_EQ(send(request_to(0xC0, 0x18, 0x01)), 1);
    EXPECT_EQ(response.record.driver_status, DRIVER_STATUS_SUCCESS);
    EXPECT_EQ(response.record.response_length, 3u);
    EXPECT_EQ(bytes()[HAPI_COMPLETION_CODE_OFFSET], 0xC3);
    EXPECT_EQ(send(request_to(0xC0, 0x18, 0x01)), 1);
    EXPECT_EQ(bytes()[HAPI_COMPLETION_CODE_OFFSET], 0x00);
    EXPECT_EQ(fake.opens, 1);
    EXPECT_EQ(fake.closes, 0);
}

TEST_F(SessionTest, lost_session_is_reopened_at_once_and_reads_as_a_timeout)
{
    fake.exchange_results = {LINK_SESSION_LOST};
    fake.answer = answer_of(0x00, 0);
    EXPECT_EQ(send(request_to(0xC0, 0x18, 0x01)), 1);
    EXPECT_EQ(bytes()[HAPI_COMPLETION_CODE_OFFSET], 0xC3);
    EXPECT_EQ(fake.closes, 1);
    EXPECT_EQ(fake.opens, 2);
    EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 1);
    EXPECT_EQ(fake.opens, 2);
}

TEST_F(SessionTest, bmc_gone_after_a_lost_session_fails_later_requests_at_once)
{
    fake.answer = answer_of(0x00, 0);
    ASSERT_EQ(send(request_to(0x20, 0x18, 0x01)), 1);
    fake.exchange_results = {LINK_SESSION_LOST};
    fake.open_result = LINK_NOT_FOUND;
    fake.open_detail = "no BMC answered at h";
    testing::internal::CaptureStderr();
    EXPECT_EQ(send(request_to(0xC0, 0x20, 0x01, {0x00, 0x10, 0xFF})), 0);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(send(request_to(0x20, 0x00, 0x0A, {0xF0})), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "velmoran-freeipmi: no BMC answered at h\n"
              "velmoran-freeipmi: the session with the BMC was lost and no new one could be opened; "
              "no further requests are sent\n");
    EXPECT_EQ(fake.opens, 2);
    EXPECT_EQ(fake.exchanges, 2);
}

TEST_F(SessionTest, target_in_use_is_refused_at_once_naming_the_holder)
{
    int held = hold_lock("velmoran-freeipmi-inband.lock", "4242\n");
    ASSERT_GE(held, 0);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(send(request_to(0x20, 0x18, 0x32, {0x00, 0x01})), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "velmoran-freeipmi: the in-band BMC is in use by process 4242\n");
    EXPECT_EQ(fake.opens, 0);
    EXPECT_EQ(fake.exchanges, 0);
    close(held);
}

TEST_F(SessionTest, holder_text_that_is_not_a_pid_is_never_shown)
{
    for (const char *planted : {"\x1b]0;owned\x07\n", "12 34\n", "4242x", ""}) {
        SetUp();
        int held = hold_lock("velmoran-freeipmi-inband.lock", planted);
        ASSERT_GE(held, 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "velmoran-freeipmi: the in-band BMC is in use by process unknown\n")
            << "planted " << planted;
        close(held);
        session_unload();
    }
}

// A lock folder someone else could write lets that user create and hold the
// lock: such a folder is never used, and nothing reaches the BMC.
TEST_F(SessionTest, lock_folder_others_could_write_is_refused)
{
    struct CASE {
        const char *name;
        mode_t mode;
        uid_t owner;
        const char *message;
    } cases[] = {
        {"writable by all", 0777, 0, "is writable by other users"},
        {"writable by its group", 0775, 0, "is writable by other users"},
        {"another user's", 0755, 65534, "belongs to another user"},
    };
    for (const CASE &c : cases) {
        SetUp();
        const std::string folder = lock_folder() + "/unfit";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << c.name;
        ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
        ASSERT_EQ(chown(folder.c_str(), c.owner, 0), 0);
        session_set_lock_folder(folder.c_str());
        testing::internal::CaptureStderr();
        EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 0) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "velmoran-freeipmi: the lock folder " + folder + " " + c.message + "\n")
            << c.name;
        EXPECT_EQ(fake.opens, 0) << c.name;
        struct stat status {};
        EXPECT_NE(stat((folder + "/velmoran-freeipmi-inband.lock").c_str(), &status), 0) << "no lock made";
        session_unload();
        session_set_lock_folder(lock_folder().c_str());
        rmdir(folder.c_str());
    }
}

TEST_F(SessionTest, missing_lock_folder_is_made_for_root_alone_to_write)
{
    const std::string folder = lock_folder() + "/made";
    session_set_lock_folder(folder.c_str());
    const mode_t saved = umask(0);
    fake.answer = answer_of(0x00, 0);
    EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 1);
    umask(saved);
    struct stat status {};
    ASSERT_EQ(lstat(folder.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0755u);
    EXPECT_EQ(stat((folder + "/velmoran-freeipmi-inband.lock").c_str(), &status), 0);
    session_unload();
    session_set_lock_folder(lock_folder().c_str());
    unlink((folder + "/velmoran-freeipmi-inband.lock").c_str());
    rmdir(folder.c_str());
}

TEST_F(SessionTest, lock_is_named_after_the_target_and_held_until_unload)
{
    use_lan("10.0.0.5", 623);
    fake.answer = answer_of(0x00, 0);
    ASSERT_EQ(send(request_to(0x20, 0x18, 0x01)), 1);
    const std::string name = "velmoran-freeipmi-lan-10.0.0.5-623.lock";
    EXPECT_EQ(hold_lock(name, nullptr), -1) << "the run's lock is not held";
    FILE *file = fopen((lock_folder() + "/" + name).c_str(), "r");
    ASSERT_NE(file, nullptr);
    unsigned pid = 0;
    EXPECT_EQ(fscanf(file, "%u", &pid), 1);
    fclose(file);
    EXPECT_EQ(pid, static_cast<unsigned>(getpid()));
    // Losing the session keeps the lock.
    fake.exchange_results = {LINK_SESSION_LOST};
    EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 1);
    EXPECT_EQ(hold_lock(name, nullptr), -1);
    session_unload();
    int after = hold_lock(name, nullptr);
    EXPECT_GE(after, 0) << "the lock outlived the unload";
    close(after);
}

TEST_F(SessionTest, other_targets_are_never_kept_waiting)
{
    int held = hold_lock("velmoran-freeipmi-lan-10.0.0.5-623.lock", "1\n");
    ASSERT_GE(held, 0);
    fake.answer = answer_of(0x00, 0);
    for (const auto &[host, port] : {std::pair{"10.0.0.6", 623}, std::pair{"10.0.0.5", 624}}) {
        use_lan(host, static_cast<uint16_t>(port));
        EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 1) << host << ":" << port;
    }
    use_lan("weird/host name", 623);
    EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 1);
    struct stat status {};
    EXPECT_EQ(stat((lock_folder() + "/velmoran-freeipmi-lan-weird_host_name-623.lock").c_str(), &status), 0);
    close(held);
}

TEST_F(SessionTest, refused_session_is_reported_once_and_never_retried)
{
    fake.open_result = LINK_REFUSED;
    fake.open_detail = "the BMC at h refused the session: password invalid";
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 0);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "velmoran-freeipmi: the BMC at h refused the session: password invalid\n");
    EXPECT_EQ(fake.opens, 1);
}

TEST_F(SessionTest, missing_bmc_is_retried_per_request_but_reported_once)
{
    fake.open_result = LINK_NOT_FOUND;
    fake.open_detail = "no BMC answered at h";
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "velmoran-freeipmi: no BMC answered at h\n");
    EXPECT_EQ(fake.opens, 3);
    fake.open_result = LINK_OK;
    fake.answer = answer_of(0x00, 0);
    EXPECT_EQ(send(request_to(0x20, 0x18, 0x01)), 1);
}

TEST(freeipmi_errors, classify_for_the_session_logic)
{
    struct CASE {
        int errnum;
        bool opening;
        LINK_RESULT expected;
    } cases[] = {
        {IPMI_ERR_CONNECTION_TIMEOUT, true, LINK_NOT_FOUND},
        {IPMI_ERR_DEVICE_NOT_FOUND, true, LINK_NOT_FOUND},
        {IPMI_ERR_PASSWORD_INVALID, true, LINK_REFUSED},
        {IPMI_ERR_USERNAME_INVALID, true, LINK_REFUSED},
        {IPMI_ERR_PERMISSION, true, LINK_REFUSED},
        {IPMI_ERR_CIPHER_SUITE_ID_UNAVAILABLE, true, LINK_REFUSED},
        {IPMI_ERR_HOSTNAME_INVALID, true, LINK_FAILED},
        {IPMI_ERR_SESSION_TIMEOUT, false, LINK_SESSION_LOST},
        {IPMI_ERR_DEVICE_NOT_OPEN, false, LINK_SESSION_LOST},
        {IPMI_ERR_MESSAGE_TIMEOUT, false, LINK_NO_ANSWER},
        {IPMI_ERR_BAD_COMPLETION_CODE, false, LINK_NO_ANSWER},
        {IPMI_ERR_DRIVER_TIMEOUT, false, LINK_NO_ANSWER},
        {IPMI_ERR_SYSTEM_ERROR, false, LINK_FAILED},
    };
    for (const CASE &c : cases)
        EXPECT_EQ(freeipmi_classify_error(c.errnum, c.opening), c.expected)
            << ipmi_ctx_strerror(c.errnum) << (c.opening ? " while opening" : "");
}

bool parse(const char *text, BACKEND_CONFIG *config, std::string *error = nullptr)
{
    config_defaults(config);
    char message[CONFIG_ERROR_SIZE] = {};
    bool good = config_parse(text, "test.conf", config, message, sizeof message);
    if (error != nullptr)
        *error = message;
    return good;
}

constexpr char LAN_BASE[] = "interface = lan\nhost = bmc\nuser = admin\npassword_file = /p\n";

TEST(backend_config, reads_every_lan_setting)
{
    BACKEND_CONFIG config;
    std::string text = std::string("# comment\n\n") + LAN_BASE +
        "  port = 1623  \ncipher_suite = 17\nprivilege = operator\n"
        "workaround_flags = open_session_privilege, 0x40\n"
        "session_timeout_ms = 900\nretransmission_timeout_ms = 100\nsystem_id = 16d\n";
    ASSERT_TRUE(parse(text.c_str(), &config));
    EXPECT_EQ(config.interface, INTERFACE_LAN);
    EXPECT_STREQ(config.host, "bmc");
    EXPECT_EQ(config.port, 1623);
    EXPECT_EQ(config.cipher_suite, 17);
    EXPECT_EQ(config.privilege, 3);
    EXPECT_EQ(config.workaround_flags,
              IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE |
                  IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NO_CHECKSUM_CHECK);
    EXPECT_EQ(config.session_timeout_ms, 900u);
    EXPECT_EQ(config.retransmission_timeout_ms, 100u);
    EXPECT_TRUE(config.has_system_id);
    EXPECT_EQ(config.system_id, 0x016D);
}

TEST(backend_config, defaults_to_inband_without_system_id)
{
    BACKEND_CONFIG config;
    ASSERT_TRUE(parse("", &config));
    EXPECT_EQ(config.interface, INTERFACE_INBAND);
    EXPECT_EQ(config.port, 623);
    EXPECT_FALSE(config.has_system_id);
    EXPECT_LT(config.retransmission_timeout_ms, config.session_timeout_ms);
}

TEST(backend_config, rejects_bad_settings_naming_the_line)
{
    struct CASE {
        std::string text;
        const char *message;
    } cases[] = {
        {"colour = blue\n", "test.conf:1: unknown setting or bad value for \"colour\""},
        {"\n\nport = 0\n", "test.conf:3: unknown setting or bad value for \"port\""},
        {"port = 70000\n", "test.conf:1: unknown setting"},
        {"port = -1\n", "test.conf:1: unknown setting"},
        {"cipher_suite = 18\n", "test.conf:1: unknown setting"},
        {"privilege = root\n", "test.conf:1: unknown setting"},
        {"workaround_flags = sometimes\n", "test.conf:1: unknown setting"},
        {"system_id = 10000\n", "test.conf:1: unknown setting"},
        {"system_id = 16q\n", "test.conf:1: unknown setting"},
        {"user = seventeen-chars-x\n", "test.conf:1: unknown setting"},
        {"session_timeout_ms = 10\n", "test.conf:1: unknown setting"},
        {"just words\n", "test.conf:1: expected \"key = value\""},
        {"session_timeout_ms = 500\nretransmission_timeout_ms = 500\n", "retransmission_timeout_ms must be shorter"},
        {"interface = lan\nhost = bmc\n", "the lan interface needs host, user and password_file"},
        // The last of two no longer wins silently, even when both agree.
        {"port = 1623\nhost = a\nport = 1624\n", "test.conf:3: \"port\" is given again (first on line 1)"},
        {"system_id = 16d\n\nsystem_id = 16d\n", "test.conf:3: \"system_id\" is given again (first on line 1)"},
        {"workaround_flags =\n", "test.conf:1: no value for \"workaround_flags\""},
        {"host = \t \n", "test.conf:1: no value for \"host\""},
        {"workaround_flags = , ,\n", "test.conf:1: unknown setting or bad value for \"workaround_flags\""},
    };
    for (const CASE &c : cases) {
        BACKEND_CONFIG config;
        std::string error;
        EXPECT_FALSE(parse(c.text.c_str(), &config, &error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
    }
}

TEST(backend_config, missing_file_means_defaults)
{
    BACKEND_CONFIG config;
    char error[CONFIG_ERROR_SIZE] = {};
    EXPECT_TRUE(config_load("/nonexistent/velmoran/freeipmi.conf", &config, error, sizeof error));
    EXPECT_EQ(config.interface, INTERFACE_INBAND);
}

class PasswordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        snprintf(path, sizeof path, "/tmp/velmoran-password-XXXXXX");
        int descriptor = mkstemp(path);
        ASSERT_GE(descriptor, 0);
        close(descriptor);
        config_defaults(&config);
        snprintf(config.password_file, sizeof config.password_file, "%s", path);
    }
    void TearDown() override { unlink(path); }

    bool read_with(const char *content, mode_t mode, std::string *password, std::string *error)
    {
        FILE *file = fopen(path, "wb");
        fputs(content, file);
        fclose(file);
        chmod(path, mode);
        char buffer[CONFIG_PASSWORD_MAX + 1] = {};
        char message[CONFIG_ERROR_SIZE] = {};
        bool good = config_read_password(&config, buffer, sizeof buffer, message, sizeof message);
        *password = buffer;
        *error = message;
        return good;
    }

    char path[64];
    BACKEND_CONFIG config;
};

TEST_F(PasswordTest, takes_the_first_line_of_a_private_file)
{
    std::string password, error;
    EXPECT_TRUE(read_with("s3cret\r\nignored\n", 0600, &password, &error)) << error;
    EXPECT_EQ(password, "s3cret");
    EXPECT_TRUE(read_with("exactly-twenty-bytes", 0640, &password, &error)) << error;
    EXPECT_EQ(password, "exactly-twenty-bytes");
}

TEST_F(PasswordTest, refuses_shared_files_and_overlong_passwords)
{
    std::string password, error;
    EXPECT_FALSE(read_with("s3cret\n", 0604, &password, &error));
    EXPECT_NE(error.find("other users can access it"), std::string::npos) << error;
    EXPECT_FALSE(read_with("twenty-one-bytes-long\n", 0600, &password, &error));
    EXPECT_NE(error.find("at most 20 bytes"), std::string::npos) << error;
    EXPECT_FALSE(read_with("", 0600, &password, &error));
    EXPECT_TRUE(password.empty());
}

TEST(host_info, reports_configured_system_id)
{
    struct CASE {
        bool has_id;
        uint16_t id;
        uint16_t result;
        uint8_t byte;
        uint16_t extended;
    } cases[] = {
        {true, 0x016D, 1, 0xFE, 0x016D}, {true, 0x0042, 1, 0x42, 0xBEEF},  // the extended value is left alone
        {true, 0x00FE, 1, 0xFE, 0x00FE},                                   // the escape value itself goes the long way
        {true, 0x00FF, 1, 0xFE, 0x00FF}, {false, 0, 0, 0x00, 0xBEEF},
    };
    for (const CASE &c : cases) {
        BACKEND_CONFIG config;
        config_defaults(&config);
        config.has_system_id = c.has_id;
        config.system_id = c.id;
        uint8_t byte = 0;
        uint16_t extended = 0xBEEF;
        uint32_t area = 0xFFFFFFFF;
        EXPECT_EQ(host_info_report(&config, &byte, &extended, &area), c.result) << c.id;
        EXPECT_EQ(byte, c.byte) << c.id;
        EXPECT_EQ(extended, c.extended) << c.id;
    }
}

}  // namespace

#endif
