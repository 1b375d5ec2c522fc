// The shared tool code: JSON string literals as Boost.JSON writes them, and child processes
// started with the environment, output and process group asked for.
#include "common/child_process.hpp"
#include "common/json_string.hpp"

#include <gtest/gtest.h>
#include <unistd.h>
#include <boost/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

TEST(JsonString, EscapesLikeBoostJsonAndKeepsUtf8) {
    EXPECT_EQ(tools::json_string("a\"b\\c\n\t\x01\x1f"), R"("a\"b\\c\n\t\u0001\u001f")");
    EXPECT_EQ(tools::json_string("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f"),
              "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\"");
    // The console used to show strings through Boost.JSON: every ASCII character comes out the same.
    for (int c = 0; c < 0x80; ++c) {
        std::string text = "x" + std::string(1, static_cast<char>(c)) + "y";
        EXPECT_EQ(tools::json_string(text), boost::json::serialize(boost::json::value(text))) << c;
    }
    std::string out = "[";
    tools::append_json_string(out, "");
    EXPECT_EQ(out, "[\"\"");
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ChildProcess, EnvironmentOutputStdinAndExitStatus) {
    auto log = std::filesystem::temp_directory_path() / ("tools-common-" + std::to_string(::getpid()) + ".log");
    std::filesystem::remove(log);
    ::setenv("TOOLS_TEST_KEEP", "kept", 1);
    ::setenv("TOOLS_TEST_DROP", "dropped", 1);
    tools::SpawnSpec spec;
    spec.argv = {"/bin/sh", "-c",
                 "echo \"$TOOLS_TEST_KEEP/$TOOLS_TEST_DROP/$TOOLS_TEST_ADD\"; read x; echo \"read $?\" >&2; exit 3"};
    spec.drop_env = {"TOOLS_TEST_DROP="};
    spec.add_env = {"TOOLS_TEST_ADD=added"};
    spec.output_path = log.string();
    {
        tools::ChildProcess child(spec);
        EXPECT_GT(child.pid(), 0);
        ASSERT_TRUE(child.wait_exit(std::chrono::seconds(10)));
        EXPECT_EQ(child.exit_code(), 3);
        EXPECT_EQ(child.status_text(), "exit 3");
    }
    // stdout and stderr both go to the log, appended; stdin is /dev/null (read fails at once).
    EXPECT_EQ(read_file(log), "kept//added\nread 1\n");
    std::filesystem::remove(log);
    ::unsetenv("TOOLS_TEST_KEEP");
    ::unsetenv("TOOLS_TEST_DROP");
}

TEST(ChildProcess, ProcessGroupKillAndStartFailure) {
    tools::SpawnSpec spec;
    spec.argv = {"/bin/sleep", "30"};
    spec.own_process_group = true;
    tools::ChildProcess own(spec);
    EXPECT_EQ(::getpgid(own.pid()), own.pid());
    EXPECT_FALSE(own.poll_exit());
    EXPECT_EQ(own.status_text(), "running");
    own.kill_now();
    EXPECT_TRUE(own.exited());
    EXPECT_EQ(own.status_text(), "signal 9");
    EXPECT_EQ(own.exit_code(), -1);

    spec.own_process_group = false;
    tools::ChildProcess shared(spec);
    EXPECT_EQ(::getpgid(shared.pid()), ::getpgrp());
    shared.kill_now();

    spec.argv = {"/nonexistent/gridlet-kernel"};
    try {
        tools::ChildProcess missing(spec);
        FAIL() << "started a missing program";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "cannot start /nonexistent/gridlet-kernel: No such file or directory");
    }
}

}  // namespace
