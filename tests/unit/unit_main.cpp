// SPDX-License-Identifier: GPL-3.0-or-later
// The main of every unit suite: a case that could not run (GTEST_SKIP) fails
// the suite, naming what it lacked, unless VELMORAN_ALLOW_SKIP=1 allows skips
// on a developer's machine; with VELMORAN_TEST_RESULTS set, the suite's counts
// are written there for the test command's summary.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

bool skips_allowed()
{
    const char *allow = getenv("VELMORAN_ALLOW_SKIP");
    return allow != nullptr && strcmp(allow, "1") == 0;
}

std::string skip_reason(const testing::TestResult &result)
{
    for (int index = 0; index < result.total_part_count(); index++)
        if (result.GetTestPartResult(index).skipped())
            return result.GetTestPartResult(index).message();
    return "";
}

// Prints each skipped case with its reason; returns how many there were.
int report_skips(const testing::UnitTest &unit, bool allowed)
{
    int skipped = 0;
    for (int suite = 0; suite < unit.total_test_suite_count(); suite++) {
        const testing::TestSuite &cases = *unit.GetTestSuite(suite);
        for (int index = 0; index < cases.total_test_count(); index++) {
            const testing::TestInfo &test = *cases.GetTestInfo(index);
            if (!test.should_run() || !test.result()->Skipped())
                continue;
            skipped++;
            fprintf(stderr, "%s.%s could not run: %s%s\n", cases.name(), test.name(),
                    skip_reason(*test.result()).c_str(),
                    allowed ? "" : " (a skip counts as a failure unless VELMORAN_ALLOW_SKIP=1 is set)");
        }
    }
    return skipped;
}

void write_counts(const char *program, int passed, int failed, int skipped)
{
    const char *folder = getenv("VELMORAN_TEST_RESULTS");
    if (folder == nullptr || *folder == '\0')
        return;
    const char *suite = getenv("VELMORAN_SUITE");
    std::string name = suite != nullptr && *suite != '\0' ? suite : program;
    if (name.rfind('/') != std::string::npos)
        name = name.substr(name.rfind('/') + 1);
    // Not system(): the unit suites link the seam that stands in for it.
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::string path = std::string(folder) + "/" + name + ".json";
    FILE *stream = fopen(path.c_str(), "w");
    if (stream == nullptr)
        return;
    fprintf(stream, "{\"suite\": \"%s\", \"kind\": \"GoogleTest\", \"passed\": %d, \"failed\": %d, \"skipped\": %d}\n",
            name.c_str(), passed, failed, skipped);
    fclose(stream);
}

}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    const testing::UnitTest &unit = *testing::UnitTest::GetInstance();
    const bool allowed = skips_allowed();
    int skipped = report_skips(unit, allowed);
    int failed = unit.failed_test_count();
    if (skipped > 0 && !allowed) {
        failed += skipped;
        skipped = 0;
        status = 1;
    }
    write_counts(argv[0], unit.successful_test_count(), failed, skipped);
    return status;
}
