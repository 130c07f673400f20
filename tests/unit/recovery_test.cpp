// SPDX-License-Identifier: GPL-3.0-or-later
// The recovery record: its text form both ways, writing it in one step,
// reading only what can be trusted, telling a live owner from a gone one,
// the record following this run's changes until all is put back, and the
// run lock in a state folder no one else can change.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/recovery.h"
#include "output/print.h"

namespace {

RECOVERY_RECORD make_record(uint8_t panel_locked, uint8_t users_stopped, uint8_t board)
{
    RECOVERY_RECORD record{};
    record.pid = 4321;
    record.start_time = 987654321ULL;
    snprintf(record.boot_id, sizeof record.boot_id, "0b5e2c9e-4f61-4d57-a0a4-6c1f3a2b9d10");
    record.panel_locked = panel_locked;
    record.panel_byte = panel_locked ? 0xF0 : 0;
    record.users_stopped = users_stopped;
    record.board_address = board;
    if (board != 0)
        snprintf(record.board_name, sizeof record.board_name, "Secondary Backplane");
    return record;
}

RECOVERY_RECORD with_service(RECOVERY_RECORD record, RECOVERY_SERVICE service)
{
    record.service = service;
    return record;
}

bool same(const RECOVERY_RECORD &left, const RECOVERY_RECORD &right)
{
    return memcmp(&left, &right, sizeof left) == 0;
}

std::string text_of(const RECOVERY_RECORD &record)
{
    char text[RECOVERY_TEXT_SIZE];
    size_t length = recovery_format(&record, text, sizeof text);
    return std::string(text, length);
}

std::string read_text(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class RecoveryFolder : public ::testing::Test {
public:
    std::string folder;
    std::string record;

    void SetUp() override
    {
        char name[] = "/tmp/velmoran_recovery_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder = std::string(name) + "/state";
        record = folder + "/" + RECOVERY_RECORD_NAME;
        setenv(RECOVERY_FOLDER_ENVIRONMENT, folder.c_str(), 1);
        print_constructor();
    }

    void TearDown() override
    {
        std::string command = "rm -rf '" + folder.substr(0, folder.rfind('/')) + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    RECOVERY_READ read(RECOVERY_RECORD *found, std::string *reason)
    {
        char text[RECOVERY_TEXT_SIZE];
        RECOVERY_READ result = recovery_read(folder.c_str(), found, text, sizeof text);
        *reason = text;
        return result;
    }

    void plant(const std::string &text, mode_t mode = 0600)
    {
        mkdir(folder.c_str(), 0700);
        std::ofstream(record) << text;
        chmod(record.c_str(), mode);
    }
};

}  // namespace

TEST(recovery_text, formats_each_change_and_reads_it_back)
{
    struct CASE {
        RECOVERY_RECORD record;
        const char *tail;
    } cases[] = {
        {make_record(1, 1, 0xC2), "panel locked 0xF0\nusers stopped\nboard 0xC2 Secondary Backplane\n"},
        {make_record(1, 0, 0), "panel locked 0xF0\nusers untouched\nboard none\n"},
        {make_record(0, 1, 0), "panel untouched\nusers stopped\nboard none\n"},
        {make_record(0, 0, 0xC0), "panel untouched\nusers untouched\nboard 0xC0 Secondary Backplane\n"},
        {with_service(make_record(0, 0, 0), RECOVERY_SERVICE_STARTED),
         "panel untouched\nusers untouched\nboard none\nservice started\n"},
        {with_service(make_record(1, 1, 0), RECOVERY_SERVICE_INSTALLED),
         "panel locked 0xF0\nusers stopped\nboard none\nservice installed\n"},
    };
    for (const CASE &test_case : cases) {
        std::string text = text_of(test_case.record);
        EXPECT_EQ(text,
                  std::string("velmoran-recovery 1\npid 4321\nstart 987654321\n"
                              "boot 0b5e2c9e-4f61-4d57-a0a4-6c1f3a2b9d10\n") +
                      test_case.tail);
        RECOVERY_RECORD parsed{};
        ASSERT_TRUE(recovery_parse(text.c_str(), &parsed)) << text;
        EXPECT_TRUE(same(parsed, test_case.record)) << text;
    }
}

TEST(recovery_text, an_unknown_boot_reads_back_as_unknown)
{
    RECOVERY_RECORD record = make_record(1, 0, 0);
    memset(record.boot_id, 0, sizeof record.boot_id);
    std::string text = text_of(record);
    EXPECT_NE(text.find("\nboot unknown\n"), std::string::npos);
    RECOVERY_RECORD parsed{};
    ASSERT_TRUE(recovery_parse(text.c_str(), &parsed));
    EXPECT_TRUE(same(parsed, record));
}

TEST(recovery_text, takes_nothing_but_a_whole_record)
{
    const std::string good = text_of(make_record(1, 1, 0xC2));
    auto replaced = [&good](const std::string &from, const std::string &to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string bad[] = {
        "",
        "velmoran-recovery 2\n" + good.substr(good.find('\n') + 1),
        good.substr(0, good.size() - 1),  // last line unfinished
        good + "extra 1\n",
        replaced("pid 4321", "pid 0"),
        replaced("pid 4321", "pid -1"),
        replaced("pid 4321", "pid 43x1"),
        replaced("pid 4321", "pid 99999999999"),
        replaced("start 987654321", "start "),
        replaced("panel locked 0xF0", "panel locked F0"),
        replaced("panel locked 0xF0", "panel locked 0x1F0"),
        replaced("panel locked 0xF0", "panel open"),
        replaced("users stopped", "users maybe"),
        replaced("board 0xC2", "board 0x00"),
        replaced("board 0xC2 Secondary Backplane", "board 0xC2"),
        replaced("Secondary Backplane", std::string(41, 'x')),
        replaced("Secondary Backplane", "Secondary\tBackplane"),
        replaced("boot 0b5e", "boot 0b5e2c9e-4f61-4d57-a0a4-6c1f3a2b9d10-and-more-"),
        replaced("\nusers", "\nboard none\nusers"),  // lines out of order
        good + "service maybe\n",
        good + "service untouched\n",           // said by leaving the line out
        good + "service started\nservice started\n",
        replaced("\nusers", "\nservice started\nusers"),
    };
    for (const std::string &text : bad) {
        RECOVERY_RECORD parsed = make_record(0, 0, 0);
        const RECOVERY_RECORD untouched = parsed;
        EXPECT_FALSE(recovery_parse(text.c_str(), &parsed)) << text;
        EXPECT_TRUE(same(parsed, untouched)) << "a rejected text changed the record: " << text;
    }
}

TEST_F(RecoveryFolder, written_in_one_step_into_a_private_folder)
{
    RECOVERY_RECORD written = make_record(1, 1, 0xC2);
    ASSERT_TRUE(recovery_write(folder.c_str(), &written));
    struct stat status {};
    ASSERT_EQ(stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(record.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(read_text(record), text_of(written));
    // Nothing left beside it.
    std::string listing = folder + "/" + RECOVERY_RECORD_NAME + "." + std::to_string(getpid()) + ".tmp";
    EXPECT_NE(access(listing.c_str(), F_OK), 0);

    RECOVERY_RECORD found{};
    std::string reason;
    ASSERT_EQ(read(&found, &reason), RECOVERY_FOUND) << reason;
    EXPECT_TRUE(same(found, written));

    RECOVERY_RECORD replaced = make_record(0, 1, 0);
    ASSERT_TRUE(recovery_write(folder.c_str(), &replaced));
    ASSERT_EQ(read(&found, &reason), RECOVERY_FOUND);
    EXPECT_TRUE(same(found, replaced));

    EXPECT_TRUE(recovery_remove(folder.c_str()));
    EXPECT_EQ(read(&found, &reason), RECOVERY_NONE);
    EXPECT_TRUE(recovery_remove(folder.c_str())) << "removing what is gone is no failure";
}

TEST_F(RecoveryFolder, untrusted_files_are_reported_never_read)
{
    const std::string good = text_of(make_record(1, 1, 0xC2));
    struct CASE {
        const char *name;
        void (*plant)(RecoveryFolder *, const std::string &);
        const char *reason;
    } cases[] = {
        {"symbolic link",
         [](RecoveryFolder *test, const std::string &text) {
             std::string target = test->folder + "/elsewhere";
             std::ofstream(target) << text;
             chmod(target.c_str(), 0600);
             ASSERT_EQ(symlink(target.c_str(), test->record.c_str()), 0);
         },
         "it is a symbolic link"},
        {"fifo", [](RecoveryFolder *test, const std::string &) { ASSERT_EQ(mkfifo(test->record.c_str(), 0600), 0); },
         "it is not a regular file"},
        {"folder", [](RecoveryFolder *test, const std::string &) { ASSERT_EQ(mkdir(test->record.c_str(), 0700), 0); },
         "it is not a regular file"},
        {"foreign owner",
         [](RecoveryFolder *test, const std::string &text) {
             test->plant(text);
             ASSERT_EQ(chown(test->record.c_str(), 1000, 1000), 0);
         },
         "it is not owned by root"},
        {"group writable", [](RecoveryFolder *test, const std::string &text) { test->plant(text, 0620); },
         "others may write to it"},
        {"second name",
         [](RecoveryFolder *test, const std::string &text) {
             test->plant(text);
             ASSERT_EQ(link(test->record.c_str(), (test->folder + "/other").c_str()), 0);
         },
         "it has other names"},
        {"too large", [](RecoveryFolder *test, const std::string &text) { test->plant(text + std::string(600, '#')); },
         "it is too large"},
        {"garbage", [](RecoveryFolder *test, const std::string &) { test->plant("panel locked 0xF0\n"); },
         "it is not a recovery record"},
        {"nul inside",
         [](RecoveryFolder *test, const std::string &text) { test->plant(std::string(text).insert(5, 1, '\0')); },
         "it is not a recovery record"},
    };
    if (geteuid() != 0)
        GTEST_SKIP() << "records must be owned by root; this suite runs as root";
    for (const CASE &test_case : cases) {
        TearDown();
        SetUp();
        mkdir(folder.c_str(), 0700);
        test_case.plant(this, good);
        RECOVERY_RECORD found = make_record(0, 0, 0);
        const RECOVERY_RECORD untouched = found;
        std::string reason;
        EXPECT_EQ(read(&found, &reason), RECOVERY_UNTRUSTED) << test_case.name;
        EXPECT_EQ(reason, test_case.reason) << test_case.name;
        EXPECT_TRUE(same(found, untouched)) << test_case.name;
    }
}

TEST(recovery_owner, alive_only_while_the_same_process_of_the_same_boot_runs)
{
    RECOVERY_RECORD self{};
    recovery_identify_self(&self);
    EXPECT_EQ(static_cast<uint32_t>(self.pid), static_cast<uint32_t>(getpid()));
    EXPECT_NE(static_cast<uint64_t>(self.start_time), 0u);
    EXPECT_EQ(strlen(self.boot_id), RECOVERY_BOOT_ID_SIZE - 1);
    EXPECT_TRUE(recovery_owner_alive(&self));

    RECOVERY_RECORD restarted = self;
    restarted.start_time++;
    EXPECT_FALSE(recovery_owner_alive(&restarted)) << "another process with the same number";

    RECOVERY_RECORD earlier_boot = self;
    earlier_boot.boot_id[0] = earlier_boot.boot_id[0] == '0' ? '1' : '0';
    EXPECT_FALSE(recovery_owner_alive(&earlier_boot));

    pid_t child = fork();
    if (child == 0)
        _exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    RECOVERY_RECORD gone = self;
    gone.pid = static_cast<uint32_t>(child);
    EXPECT_FALSE(recovery_owner_alive(&gone));
}

TEST_F(RecoveryFolder, follows_the_run_until_all_is_put_back)
{
    RECOVERY_RECORD found{};
    std::string reason;
    uint8_t pending = 0;
    EXPECT_FALSE(recovery_pending_panel(&pending));

    recovery_note_panel_locked(0xF4);
    ASSERT_EQ(read(&found, &reason), RECOVERY_FOUND);
    EXPECT_EQ(static_cast<uint32_t>(found.pid), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(found.panel_locked, 1);
    EXPECT_EQ(found.panel_byte, 0xF4);
    EXPECT_TRUE(recovery_pending_panel(&pending));
    EXPECT_EQ(pending, 0xF4);

    recovery_note_users_stopped();
    DEVICES_INFO board{};
    board.slave_address = 0xC0;
    snprintf(board.name, sizeof board.name, "Primary Backplane");
    recovery_note_board(&board);
    ASSERT_EQ(read(&found, &reason), RECOVERY_FOUND);
    EXPECT_EQ(found.users_stopped, 1);
    EXPECT_EQ(found.board_address, 0xC0);
    EXPECT_STREQ(found.board_name, "Primary Backplane");

    recovery_note_board(nullptr);
    recovery_note_panel_restored();
    EXPECT_FALSE(recovery_pending_panel(&pending));
    ASSERT_EQ(read(&found, &reason), RECOVERY_FOUND) << "the users are still stopped";
    EXPECT_EQ(found.panel_locked, 0);
    EXPECT_EQ(found.users_stopped, 1);
    EXPECT_EQ(found.board_address, 0);

    // The end restarts them with the service.
    recovery_destructor();
    EXPECT_EQ(read(&found, &reason), RECOVERY_NONE);
}

TEST_F(RecoveryFolder, start_up_leaves_a_live_run_alone_and_keeps_what_it_cannot_undo)
{
    // A live owner: this process, as a program without the run lock would be.
    RECOVERY_RECORD live{};
    recovery_identify_self(&live);
    live.panel_locked = 1;
    live.panel_byte = 0xF0;
    ASSERT_TRUE(recovery_write(folder.c_str(), &live));
    ASSERT_EQ(take_run_lock(), RC_SUCCESS);
    EXPECT_EQ(recover_interrupted_run(), RC_SUCCESS);
    recovery_destructor();
    EXPECT_EQ(read_text(record), text_of(live));

    // A gone owner, but no library to send the panel byte through.
    RECOVERY_RECORD gone = live;
    gone.start_time++;
    ASSERT_TRUE(recovery_write(folder.c_str(), &gone));
    ASSERT_EQ(take_run_lock(), RC_SUCCESS);
    testing::internal::CaptureStderr();
    EXPECT_EQ(recover_interrupted_run(), RC_LOAD_LIBRARY_FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\r   Front panel not restored from the recovery record " + record + " \n");
    recovery_destructor();
    EXPECT_EQ(read_text(record), text_of(gone));

    // Untrusted: told, left where it is.
    ASSERT_TRUE(recovery_remove(folder.c_str()));
    plant("nonsense\n");
    ASSERT_EQ(take_run_lock(), RC_SUCCESS);
    testing::internal::CaptureStderr();
    EXPECT_EQ(recover_interrupted_run(), RC_SUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\r   Recovery record " + record + " ignored: it is not a recovery record \n");
    recovery_destructor();
    EXPECT_EQ(read_text(record), "nonsense\n");
}

TEST_F(RecoveryFolder, a_killed_runs_changes_stay_recorded_until_put_back)
{
    // Gone with the panel locked and the service it started still running.
    RECOVERY_RECORD gone{};
    recovery_identify_self(&gone);
    gone.start_time++;
    gone.panel_locked = 1;
    gone.panel_byte = 0xF4;
    gone.service = RECOVERY_SERVICE_STARTED;
    ASSERT_TRUE(recovery_write(folder.c_str(), &gone));
    ASSERT_EQ(take_run_lock(), RC_SUCCESS);

    // This run's first change keeps them beside its own, under its own name.
    ASSERT_TRUE(recovery_note_users_stopped());
    RECOVERY_RECORD found{};
    std::string reason;
    ASSERT_EQ(read(&found, &reason), RECOVERY_FOUND);
    EXPECT_EQ(static_cast<uint32_t>(found.pid), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(found.panel_locked, 1);
    EXPECT_EQ(found.panel_byte, 0xF4);
    EXPECT_EQ(found.users_stopped, 1);
    EXPECT_EQ(found.service, RECOVERY_SERVICE_STARTED);

    // The end puts the service back, users with it; the panel is still owed.
    recovery_destructor();
    ASSERT_EQ(read(&found, &reason), RECOVERY_FOUND);
    EXPECT_EQ(found.panel_locked, 1);
    EXPECT_EQ(found.users_stopped, 0);
    EXPECT_EQ(found.service, RECOVERY_SERVICE_UNTOUCHED);
}

TEST_F(RecoveryFolder, a_change_that_cannot_be_recorded_is_refused)
{
    // The temporary name taken by something that cannot be removed: no record.
    mkdir(folder.c_str(), 0700);
    std::string temporary = record + "." + std::to_string(getpid()) + ".tmp";
    ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
    DEVICES_INFO board{};
    board.slave_address = 0xC0;
    snprintf(board.name, sizeof board.name, "Primary Backplane");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(recovery_note_panel_locked(0xF0));
    EXPECT_FALSE(recovery_note_users_stopped());
    EXPECT_FALSE(recovery_note_board(&board));
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(told, "\r   Cannot write the recovery record " + record + ": nothing is changed \n"
                    "\r   Cannot write the recovery record " + record + ": nothing is changed \n"
                    "\r   Cannot write the recovery record " + record + ": nothing is changed \n");
    uint8_t pending = 0;
    EXPECT_FALSE(recovery_pending_panel(&pending)) << "a refused lock is not owed";
    EXPECT_NE(access(record.c_str(), F_OK), 0);

    // A leftover of a killed run at that name is removed, never opened.
    ASSERT_EQ(rmdir(temporary.c_str()), 0);
    ASSERT_EQ(mkfifo(temporary.c_str(), 0600), 0);
    EXPECT_TRUE(recovery_note_panel_locked(0xF0));
    EXPECT_NE(access(temporary.c_str(), F_OK), 0);
    EXPECT_NE(read_text(record).find("panel locked 0xF0\n"), std::string::npos);
    recovery_note_panel_restored();
    EXPECT_NE(access(record.c_str(), F_OK), 0);
}

struct FolderCase {
    const char *name;
    mode_t parent_mode;
    uid_t parent_owner;
    const char *folder;   // "dir", "link" or "none"
    mode_t folder_mode;
    uid_t folder_owner;
    const char *fault;    // "" when the lock is taken; else "<subject> <reason>", subject after the root
};

class StateFolderTest : public ::testing::TestWithParam<FolderCase> {};

// The record and the lock are only as safe as the folders on the way.
TEST_P(StateFolderTest, takes_the_lock_only_in_a_folder_no_one_else_can_change)
{
    const FolderCase &c = GetParam();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give folders to another user";
    char root_template[] = "/tmp/velmoran_state_XXXXXX";
    const std::string root = mkdtemp(root_template);
    const std::string parent = root + "/parent";
    const std::string folder = parent + "/state";
    ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
    if (std::string(c.folder) == "dir") {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), c.folder_owner, 0), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    } else if (std::string(c.folder) == "link") {
        ASSERT_EQ(mkdir((root + "/elsewhere").c_str(), 0700), 0);
        ASSERT_EQ(symlink((root + "/elsewhere").c_str(), folder.c_str()), 0);
    }
    ASSERT_EQ(chown(parent.c_str(), c.parent_owner, 0), 0);
    ASSERT_EQ(chmod(parent.c_str(), c.parent_mode), 0);
    setenv(RECOVERY_FOLDER_ENVIRONMENT, folder.c_str(), 1);
    print_constructor();

    testing::internal::CaptureStderr();
    RETURN_CODE result = take_run_lock();
    std::string told = testing::internal::GetCapturedStderr();
    bool locked = access((folder + "/" + RUN_LOCK_NAME).c_str(), F_OK) == 0;
    struct stat status {};
    lstat(folder.c_str(), &status);
    recovery_destructor();
    std::filesystem::remove_all(root);

    if (c.fault[0] == '\0') {
        EXPECT_EQ(result, RC_SUCCESS);
        EXPECT_EQ(told, "");
        EXPECT_TRUE(locked);
        EXPECT_EQ(status.st_mode & 07777, std::string(c.folder) == "none" ? 0700u : c.folder_mode);
    } else {
        EXPECT_EQ(result, RC_CANNOT_CREATE_FILE);
        EXPECT_EQ(told, "\r   State folder refused: " + root + "/" + c.fault + " \n");
        EXPECT_FALSE(locked) << "nothing is made in a folder that is refused";
    }
}

constexpr uid_t OTHER_USER = 65534;

INSTANTIATE_TEST_SUITE_P(
    Cases, StateFolderTest,
    ::testing::Values(FolderCase{"private", 0755, 0, "dir", 0700, 0, ""},
                      FolderCase{"made_when_missing", 0755, 0, "none", 0, 0, ""},
                      FolderCase{"readable_by_all", 0755, 0, "dir", 0755, 0, ""},
                      FolderCase{"under_a_sticky_shared_folder", 01777, 0, "dir", 0700, 0, ""},
                      FolderCase{"writable_by_others", 0755, 0, "dir", 0777, 0, "parent/state is writable by other users"},
                      FolderCase{"writable_by_group", 0755, 0, "dir", 0770, 0, "parent/state is writable by other users"},
                      FolderCase{"sticky_and_shared", 0755, 0, "dir", 01777, 0, "parent/state is writable by other users"},
                      FolderCase{"of_another_user", 0755, 0, "dir", 0700, OTHER_USER,
                                 "parent/state belongs to another user"},
                      FolderCase{"symbolic_link", 0755, 0, "link", 0, 0, "parent/state is not a directory"},
                      FolderCase{"under_a_shared_folder", 0777, 0, "dir", 0700, 0, "parent is writable by other users"},
                      FolderCase{"under_a_folder_of_another_user", 0755, OTHER_USER, "dir", 0700, 0,
                                 "parent belongs to another user"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(StateFolder, a_relative_folder_is_as_safe_as_the_current_directory)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, as the program runs";
    char shared_template[] = "/tmp/velmoran_shared_XXXXXX";
    const std::string shared = mkdtemp(shared_template);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    char *previous = get_current_dir_name();
    ASSERT_EQ(chdir(shared.c_str()), 0);
    setenv(RECOVERY_FOLDER_ENVIRONMENT, "state", 1);
    print_constructor();

    testing::internal::CaptureStderr();
    RETURN_CODE result = take_run_lock();
    std::string told = testing::internal::GetCapturedStderr();
    recovery_destructor();
    ASSERT_EQ(chdir(previous), 0);
    free(previous);
    bool made = access((shared + "/state").c_str(), F_OK) == 0;
    std::filesystem::remove_all(shared);
    EXPECT_EQ(result, RC_CANNOT_CREATE_FILE);
    EXPECT_EQ(told, "\r   State folder refused: the current directory is writable by other users \n");
    EXPECT_FALSE(made);
}

struct HolderCase {
    const char *name;
    const char *lock_text;   // what the holder left in the lock file
    const char *shown;
};

class RunLockTest : public RecoveryFolder, public ::testing::WithParamInterface<HolderCase> {};

// A second run is turned away naming the holder, whose text is never echoed raw.
TEST_P(RunLockTest, second_run_is_turned_away_naming_the_holder)
{
    const HolderCase &c = GetParam();
    mkdir(folder.c_str(), 0700);
    const std::string lock = folder + "/" + RUN_LOCK_NAME;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(fd, c.lock_text, strlen(c.lock_text)) < 0)
            _exit(1);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(take_run_lock(), RC_LOAD_LIBRARY_FAILED);
    std::string told = testing::internal::GetCapturedStderr();
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(told, "\r   Another run holds " + lock + ": process " + c.shown + " \n");
    EXPECT_EQ(read_text(lock), c.lock_text) << "the holder's lock file is left alone";

    // Once the holder is gone the lock is free, and names this process.
    ASSERT_EQ(take_run_lock(), RC_SUCCESS);
    EXPECT_EQ(read_text(lock), std::to_string(getpid()) + "\n");
    recovery_destructor();
}

INSTANTIATE_TEST_SUITE_P(Cases, RunLockTest,
                         ::testing::Values(HolderCase{"pid", "4321\n", "4321"}, HolderCase{"empty", "", "unknown"},
                                           HolderCase{"terminal_controls", "\x1b]0;owned\x07\x1b[2J9",
                                                      "\\x1b]0;owned\\x07\\x1b[2J9"}),
                         [](const auto &info) { return std::string(info.param.name); });
