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
#include <stdio_ext.h>
#include <string>
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

enum Stream { NONE, OUT, ERR };

struct Route {
    Stream stream;
    RETURN_CODE code;
};

struct RoutingRow {
    int type;
    Route by_state[5];   // NORMAL, QUIET, DEBUG, XML, REVISION
    bool logged;
};

constexpr Route out{OUT, RC_DISPLAYED};
constexpr Route err{ERR, RC_DISPLAYED};
constexpr Route hidden{NONE, RC_NOT_DISPLAYED};
constexpr Route hidden_error{NONE, RC_DISPLAYED};

const RoutingRow ROUTING[] = {
    {0, {hidden, hidden, hidden, hidden, hidden}, false},
    {PRT_INFO, {out, hidden, out, hidden, out}, true},
    {PRT_ERROR, {err, err, err, hidden_error, err}, true},
    {PRT_DEBUG, {hidden, hidden, out, hidden, hidden}, true},
    {PRT_HELP, {out, hidden, out, hidden, out}, true},
    {PRT_TRACE, {out, hidden, out, hidden, out}, false},
    {PRT_PROGRESS, {out, hidden, out, hidden, out}, false},
    {7, {hidden, hidden, hidden, hidden, hidden}, false},
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
            Console console = capture([&] { code = display_redirection(static_cast<PRT_OPTIONS>(row.type), text.c_str()); });
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
        {DISPLAY_QUIET, PRT_INFO}, {DISPLAY_XML, PRT_INFO}, {DISPLAY_REVISION, PRT_INFO}, {DISPLAY_NORMAL, PRT_DEBUG},
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

}  // namespace
