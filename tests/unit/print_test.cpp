// SPDX-License-Identifier: GPL-3.0-or-later
// Unit tests of the print module: the class-by-state routing matrix with its
// log copies, the blanking line, Y/N prompts fed through standard input, and
// the log file's first line, creation failure, write failure and flushing.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <climits>
#include <functional>
#include <stdio_ext.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "output/print.h"

namespace {

constexpr char LOG_WRITE_FAILED[] = "Error while writing to log file. Logging is disabled.\n";
// A prompt that loops for ever would otherwise hang the whole suite.
constexpr unsigned PROMPT_TEST_DEADLINE_SECONDS = 20;

struct Console {
    std::string out;
    std::string err;
};

template <typename Action>
Console capture(Action action)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    Console console;
    console.err = testing::internal::GetCapturedStderr();
    console.out = testing::internal::GetCapturedStdout();
    return console;
}

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string repeat(const std::string &text, int count)
{
    std::string all;
    for (int i = 0; i < count; i++)
        all += text;
    return all;
}

class PrintModule : public testing::Test {
protected:
    void SetUp() override
    {
        close_log_file();
        print_constructor();
        for (int guard = 0; guard < LOG_GUARD_COUNT; guard++)
            guard_from_log(static_cast<LOG_GUARD>(guard), "");
        log_path = testing::TempDir() + "velmoran_print_test_" + std::to_string(getpid()) + ".log";
        unlink(log_path.c_str());
        saved_stdin = dup(STDIN_FILENO);
        alarm(PROMPT_TEST_DEADLINE_SECONDS);
    }

    void TearDown() override
    {
        alarm(0);
        close_log_file();
        print_constructor();
        for (int guard = 0; guard < LOG_GUARD_COUNT; guard++)
            guard_from_log(static_cast<LOG_GUARD>(guard), "");
        unlink(log_path.c_str());
        dup2(saved_stdin, STDIN_FILENO);
        close(saved_stdin);
        clearerr(stdin);
        __fpurge(stdin);
    }

    // Opens the log with a one-word command line, so its first line is "prog \n".
    void open_log()
    {
        char program[] = "prog";
        char *argv[] = {program, nullptr};
        ASSERT_EQ(set_log_file(log_path.data(), 1, argv), RC_SUCCESS);
    }

    // The log without its command-line first line.
    std::string logged_messages()
    {
        std::string content = read_file(log_path);
        EXPECT_EQ(content.rfind("prog \n", 0), 0u) << "log starts with the command line: " << content;
        return content.size() >= 6 ? content.substr(6) : content;
    }

    // Standard input becomes a pipe holding `input`, then end of input.
    static void feed_stdin_through_pipe(const std::string &input)
    {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(write(ends[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(ends[1]);
        replace_stdin(ends[0]);
    }

    void feed_stdin_from_file(const std::string &input)
    {
        std::string path = log_path + ".in";
        std::ofstream(path, std::ios::binary) << input;
        int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        unlink(path.c_str());
        replace_stdin(fd);
    }

    static void replace_stdin(int fd)
    {
        dup2(fd, STDIN_FILENO);
        close(fd);
        clearerr(stdin);
        __fpurge(stdin);
    }

    std::string log_path;
    int saved_stdin = -1;
};

enum Stream {
    NONE,
    OUT,
    ERR
};

struct Route {
    Stream stream;
    RETURN_CODE code;
};

struct RoutingRow {
    int type;
    Route by_state[5];  // NORMAL, QUIET, DEBUG, XML, REVISION
    bool logged;
};

constexpr Route out{OUT, RC_DISPLAYED};
constexpr Route err{ERR, RC_DISPLAYED};
constexpr Route hidden{NONE, RC_NOT_DISPLAYED};
constexpr Route hidden_error{NONE, RC_DISPLAYED};

const RoutingRow ROUTING[] = {
    {0, {hidden, hidden, hidden, hidden, hidden}, false},   {PRT_INFO, {out, hidden, out, hidden, out}, true},
    {PRT_ERROR, {err, err, err, hidden_error, err}, true},  {PRT_DEBUG, {hidden, hidden, out, hidden, hidden}, true},
    {PRT_HELP, {out, hidden, out, hidden, out}, true},      {PRT_TRACE, {out, hidden, out, hidden, out}, false},
    {PRT_PROGRESS, {out, hidden, out, hidden, out}, false}, {7, {hidden, hidden, hidden, hidden, hidden}, false},
    {255, {hidden, hidden, hidden, hidden, hidden}, false},
};

TEST_F(PrintModule, routes_every_class_in_every_display_state)
{
    for (const RoutingRow &row : ROUTING) {
        for (int state = DISPLAY_NORMAL; state <= DISPLAY_REVISION; state++) {
            SCOPED_TRACE("class " + std::to_string(row.type) + ", state " + std::to_string(state));
            close_log_file();
            open_log();
            set_display_state(static_cast<DISPLAY_STATE>(state));
            // Percent signs must come out as typed, never as conversions.
            const std::string text = "\r   100% done %s %d " + std::to_string(row.type) + "\n";
            RETURN_CODE code = RC_SUCCESS;
            Console console =
                capture([&] { code = display_redirection(static_cast<PRT_OPTIONS>(row.type), text.c_str()); });
            const Route &expected = row.by_state[state];
            EXPECT_EQ(code, expected.code);
            EXPECT_EQ(console.out, expected.stream == OUT ? text : "");
            EXPECT_EQ(console.err, expected.stream == ERR ? text : "");
            EXPECT_EQ(logged_messages(), row.logged ? text : "");
        }
    }
}

TEST_F(PrintModule, display_state_ignores_values_out_of_range)
{
    set_display_state(DISPLAY_REVISION);
    for (int value : {5, 6, 255}) {
        set_display_state(static_cast<DISPLAY_STATE>(value));
        EXPECT_EQ(get_display_state(), DISPLAY_REVISION) << value;
    }
    print_constructor();
    EXPECT_EQ(get_display_state(), DISPLAY_NORMAL);
}

TEST_F(PrintModule, clear_line_blanks_the_line_and_is_logged)
{
    open_log();
    const std::string blank = "\r" + std::string(74, ' ') + "\r";
    RETURN_CODE code = RC_SUCCESS;
    Console console = capture([&] { code = clear_line(); });
    EXPECT_EQ(code, RC_DISPLAYED);
    EXPECT_EQ(console.out, blank);
    set_display_state(DISPLAY_QUIET);
    console = capture([&] { code = clear_line(); });
    EXPECT_EQ(code, RC_NOT_DISPLAYED);
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(logged_messages(), blank + blank);
}

struct PromptCase {
    const char *behaviour;
    std::string input;
    RETURN_CODE answer;
    int times_shown;
};

const std::string PROMPT = "   Continue ? Y/N: ";

const PromptCase PROMPT_CASES[] = {
    {"lower-case y", "y\n", RC_SUCCESS, 1},
    {"upper-case Y", "Y\n", RC_SUCCESS, 1},
    {"lower-case n", "n\n", RC_FAILED, 1},
    {"upper-case N", "N\n", RC_FAILED, 1},
    {"three-letter yes, then y", "yes\ny\n", RC_SUCCESS, 2},
    {"y with a blank, then n", "y \nn\n", RC_FAILED, 2},
    {"empty line, then y", "\ny\n", RC_SUCCESS, 2},
    {"other letter, then N", "x\nN\n", RC_FAILED, 2},
    {"byte above 127, then y", "\xf9\ny\n", RC_SUCCESS, 2},
    {"byte 255, then n", "\xff\nn\n", RC_FAILED, 2},
    {"100 characters take two passes", std::string(100, 'a') + "\ny\n", RC_SUCCESS, 3},
    {"80 characters leave their newline for a pass", std::string(80, 'a') + "\nn\n", RC_FAILED, 3},
    {"y at end of input without newline", "y", RC_SUCCESS, 1},
    {"no input at all", "", RC_FAILED, 1},
    {"bad answer, then end of input", "x\n", RC_FAILED, 2},
    {"long word cut by end of input", "maybe", RC_FAILED, 1},
};

TEST_F(PrintModule, prompt_answers_from_a_pipe)
{
    for (const PromptCase &c : PROMPT_CASES) {
        SCOPED_TRACE(c.behaviour);
        feed_stdin_through_pipe(c.input);
        RETURN_CODE answer = RC_EXIT_OK;
        Console console = capture([&] { answer = prompt_user(PRT_INFO, PROMPT.c_str()); });
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(console.out, repeat(PROMPT, c.times_shown));
    }
}

TEST_F(PrintModule, prompt_keeps_answers_for_later_prompts)
{
    for (bool from_file : {false, true}) {
        SCOPED_TRACE(from_file ? "regular file" : "pipe");
        const std::string input = "n\ny\nmaybe\nY\nN\n";
        if (from_file)
            feed_stdin_from_file(input);
        else
            feed_stdin_through_pipe(input);
        std::vector<RETURN_CODE> answers;
        Console console = capture([&] {
            for (int i = 0; i < 4; i++)
                answers.push_back(prompt_user(PRT_INFO, PROMPT.c_str()));
        });
        EXPECT_EQ(answers, (std::vector<RETURN_CODE>{RC_FAILED, RC_SUCCESS, RC_SUCCESS, RC_FAILED}));
        EXPECT_EQ(console.out, repeat(PROMPT, 5));
    }
}

TEST_F(PrintModule, prompt_stops_asking_once_input_has_ended)
{
    feed_stdin_through_pipe("maybe\n");
    std::vector<RETURN_CODE> answers;
    Console console = capture([&] {
        for (int i = 0; i < 3; i++)
            answers.push_back(prompt_user(PRT_INFO, PROMPT.c_str()));
    });
    EXPECT_EQ(answers, (std::vector<RETURN_CODE>{RC_FAILED, RC_FAILED, RC_FAILED}));
    // Two passes for the first prompt (bad word, then end of input), one for each later one.
    EXPECT_EQ(console.out, repeat(PROMPT, 4));
}

TEST_F(PrintModule, prompt_answers_yes_unasked_where_the_text_is_not_shown)
{
    const std::pair<DISPLAY_STATE, PRT_OPTIONS> silent[] = {
        {DISPLAY_QUIET, PRT_INFO},
        {DISPLAY_XML, PRT_INFO},
        {DISPLAY_REVISION, PRT_INFO},
        {DISPLAY_NORMAL, PRT_DEBUG},
    };
    feed_stdin_through_pipe("n\n");
    for (const auto &[state, type] : silent) {
        SCOPED_TRACE("state " + std::to_string(state) + ", class " + std::to_string(type));
        set_display_state(state);
        RETURN_CODE answer = RC_EXIT_OK;
        Console console = capture([&] { answer = prompt_user(type, PROMPT.c_str()); });
        EXPECT_EQ(answer, RC_SUCCESS);
        EXPECT_EQ(console.out, "");
    }
    // Nothing was read: the waiting answer still answers the next shown prompt.
    set_display_state(DISPLAY_NORMAL);
    RETURN_CODE answer = RC_EXIT_OK;
    capture([&] { answer = prompt_user(PRT_INFO, PROMPT.c_str()); });
    EXPECT_EQ(answer, RC_FAILED);
}

TEST_F(PrintModule, prompt_logs_every_pass_but_never_the_answer)
{
    open_log();
    feed_stdin_through_pipe("secret\ny\n");
    capture([&] { EXPECT_EQ(prompt_user(PRT_INFO, PROMPT.c_str()), RC_SUCCESS); });
    EXPECT_EQ(logged_messages(), repeat(PROMPT, 2));
}

TEST_F(PrintModule, log_starts_with_the_command_line)
{
    char w0[] = "prog", w1[] = "-log", w2[] = "run.txt", w3[] = "-force";
    char *argv[] = {w0, w1, w2, w3, nullptr};
    ASSERT_EQ(set_log_file(log_path.data(), 4, argv), RC_SUCCESS);
    capture([] { display_redirection(PRT_INFO, "one\n"); });
    EXPECT_EQ(read_file(log_path), "prog -log run.txt -force \none\n");
}

TEST_F(PrintModule, log_that_cannot_be_created_is_reported_and_skipped)
{
    char program[] = "prog";
    char *argv[] = {program, nullptr};
    char path[] = "/nonexistent-velmoran-dir/run.log";
    RETURN_CODE code = RC_SUCCESS;
    Console console = capture([&] {
        code = set_log_file(path, 1, argv);
        display_redirection(PRT_INFO, "still shown\n");
    });
    EXPECT_EQ(code, RC_ERROR_IN_FILE);
    EXPECT_EQ(console.err, " Cannot create /nonexistent-velmoran-dir/run.log \n");
    EXPECT_EQ(console.out, "still shown\n");
}

TEST_F(PrintModule, failed_log_write_is_reported_once_and_logging_stops)
{
    char program[] = "prog";
    char *argv[] = {program, nullptr};
    char path[] = "/dev/full";
    Console console = capture([&] {
        set_log_file(path, 1, argv);
        display_redirection(PRT_INFO, "first\n");
        display_redirection(PRT_ERROR, "second\n");
        display_redirection(PRT_HELP, "third\n");
    });
    EXPECT_EQ(console.err, std::string(LOG_WRITE_FAILED) + "second\n");
    EXPECT_EQ(console.out, "first\nthird\n");
}

TEST_F(PrintModule, failed_log_write_is_reported_in_xml_state_too)
{
    set_display_state(DISPLAY_XML);
    char program[] = "prog";
    char *argv[] = {program, nullptr};
    char path[] = "/dev/full";
    Console console = capture([&] {
        set_log_file(path, 1, argv);
        display_redirection(PRT_ERROR, "hidden\n");
    });
    EXPECT_EQ(console.err, LOG_WRITE_FAILED);
    EXPECT_EQ(console.out, "");
}

TEST_F(PrintModule, log_is_on_disk_after_every_message)
{
    open_log();
    capture([] { display_redirection(PRT_ERROR, "first\n"); });
    EXPECT_EQ(logged_messages(), "first\n");
    capture([] { display_redirection(PRT_DEBUG, "second\n"); });
    EXPECT_EQ(logged_messages(), "first\nsecond\n");
}

TEST_F(PrintModule, log_survives_a_killed_process)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        close_log_file();
        open_log();
        display_redirection(PRT_INFO, "   Processing board \n");
        display_redirection(PRT_PROGRESS, "\r   Flash 50% Completed");
        display_redirection(PRT_ERROR, "   last words\n");
        raise(SIGKILL);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(logged_messages(), "   Processing board \n   last words\n");
}

TEST_F(PrintModule, words_are_shown_with_control_and_stray_bytes_escaped)
{
    const struct {
        const char *word;
        const char *shown;
    } cases[] = {
        {"-log=/var/log/update.log", "-log=/var/log/update.log"},
        {"-\x1b]2;owned\x07", "-\\x1b]2;owned\\x07"},
        {"tab\there\nnewline\x7f", "tab\\x09here\\x0anewline\\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\x9b"
         "31m",
         "\\xc2\\x9b31m"},                                      // C1 control introducer
        {"\xc2\xa0", "\xc2\xa0"},                               // first character after the C1 range
        {"\xc0\xaf\xe0\x80\xaf", "\\xc0\\xaf\\xe0\\x80\\xaf"},  // overlong forms
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                    // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},           // beyond U+10FFFF
        {"cut\xe2\x82", "cut\\xe2\\x82"},                       // sequence ends early
        {"\xff\xfe", "\\xff\\xfe"},
        {"a\\x1b", "a\\x1b"},  // typed as text: left alone
        {"", ""},
    };
    for (const auto &c : cases) {
        char *shown = escaped_word(c.word);
        ASSERT_NE(shown, nullptr);
        EXPECT_STREQ(shown, c.shown) << "word " << testing::PrintToString(std::string(c.word));
        free(shown);
    }
}

TEST_F(PrintModule, log_messages_show_the_path_and_command_line_escaped)
{
    char program[] = "prog", word[] = "-\x1b]2;x\x07";
    char *argv[] = {program, word, nullptr};
    std::string bad = testing::TempDir() + "no-such-dir/\x1b[31m.log";
    Console console = capture([&] { EXPECT_EQ(set_log_file(bad.data(), 2, argv), RC_ERROR_IN_FILE); });
    EXPECT_EQ(console.err, " Cannot create " + testing::TempDir() + "no-such-dir/\\x1b[31m.log \n");
    ASSERT_EQ(set_log_file(log_path.data(), 2, argv), RC_SUCCESS);
    close_log_file();
    EXPECT_EQ(read_file(log_path), "prog -\\x1b]2;x\\x07 \n");
}

// A hostile log path: what the folder holds before the run, and what must
// come of it. The victim file stands for any file root can write.
struct HostileLogCase {
    const char *name;
    std::function<void(const std::string &folder, const std::string &log, const std::string &victim)> plant;
    bool accepted;
};

class HostileLog : public PrintModule, public testing::WithParamInterface<HostileLogCase> {};

TEST_P(HostileLog, never_replaces_what_it_must_not)
{
    const HostileLogCase &c = GetParam();
    char folder_template[] = "/tmp/velmoran-log-XXXXXX";
    ASSERT_NE(mkdtemp(folder_template), nullptr);
    const std::string folder = folder_template;
    const std::string log = folder + "/run.log";
    const std::string victim = folder + "/victim";
    std::ofstream(victim) << "victim content\n";
    c.plant(folder, log, victim);

    char program[] = "prog";
    char *argv[] = {program, nullptr};
    std::string path = log;
    RETURN_CODE code = RC_SUCCESS;
    Console console = capture([&] {
        code = set_log_file(path.data(), 1, argv);
        display_redirection(PRT_INFO, "message\n");
    });
    close_log_file();

    EXPECT_EQ(read_file(victim), "victim content\n");
    if (c.accepted) {
        EXPECT_EQ(code, RC_SUCCESS);
        EXPECT_EQ(console.err, "");
    } else {
        EXPECT_EQ(code, RC_ERROR_IN_FILE);
        EXPECT_EQ(console.err, " Cannot create " + log + " \n");
    }
    EXPECT_EQ(console.out, "message\n");
    system(("rm -rf " + folder).c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileLog,
    testing::Values(
        HostileLogCase{"symbolic_link_to_a_file",
                       [](auto &, auto &log, auto &victim) { ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0); },
                       false},
        HostileLogCase{"second_name_of_a_file",
                       [](auto &, auto &log, auto &victim) { ASSERT_EQ(link(victim.c_str(), log.c_str()), 0); }, false},
        HostileLogCase{"directory", [](auto &, auto &log, auto &) { ASSERT_EQ(mkdir(log.c_str(), 0700), 0); }, false},
        HostileLogCase{"the_data_file",
                       [](auto &, auto &log, auto &victim) {
                           ASSERT_EQ(rename(victim.c_str(), log.c_str()), 0);
                           ASSERT_EQ(symlink(log.c_str(), victim.c_str()), 0);
                           guard_from_log(LOG_GUARD_DATA_FILE, victim.c_str());
                       },
                       false},
        HostileLogCase{"an_ordinary_earlier_log",
                       [](auto &, auto &log, auto &) { std::ofstream(log) << "last run's log, much longer\n"; }, true},
        HostileLogCase{"a_new_file", [](auto &, auto &, auto &) {}, true}),
    [](const testing::TestParamInfo<HostileLogCase> &info) { return std::string(info.param.name); });

TEST_F(PrintModule, new_log_is_private_and_an_old_one_is_truncated)
{
    open_log();
    close_log_file();
    struct stat status {};
    ASSERT_EQ(stat(log_path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    std::ofstream(log_path) << "an old log that is longer than the new one\n";
    chmod(log_path.c_str(), 0640);
    open_log();
    close_log_file();
    EXPECT_EQ(read_file(log_path), "prog \n");
    ASSERT_EQ(stat(log_path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(PrintModule, log_descriptor_is_not_inherited)
{
    open_log();
    bool found = false;
    for (int fd = 3; fd < 1024; fd++) {
        char link[64], target[PATH_MAX] = {};
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (readlink(link, target, sizeof target - 1) <= 0 || log_path != target)
            continue;
        found = true;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "log descriptor " << fd;
    }
    EXPECT_TRUE(found);
}

TEST_F(PrintModule, closed_standard_streams_are_opened_on_dev_null)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        claim_standard_streams();
        int failures = 0;
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
            char link[32], target[PATH_MAX] = {};
            snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            if (readlink(link, target, sizeof target - 1) <= 0 || strcmp(target, "/dev/null") != 0)
                failures++;
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "standard streams not on /dev/null: " << status;
}

TEST_F(PrintModule, what_was_shown_before_the_log_opened_follows_its_first_line)
{
    claim_standard_streams();
    Console console = capture([] { display_redirection(PRT_ERROR, "   early warning \n"); });
    EXPECT_EQ(console.err, "   early warning \n");
    open_log();
    capture([] { display_redirection(PRT_INFO, "later\n"); });
    EXPECT_EQ(logged_messages(), "   early warning \nlater\n");
}

}  // namespace
