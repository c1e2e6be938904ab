// A tool of the project given inputs it must refuse: it ends at once with its status for them and
// says what is wrong, before it does anything else.
#pragma once

#include "process.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

// Success when `argv` ends with exit status `status` within a minute and its output (standard
// output and error) holds each of `said`.
inline ::testing::AssertionResult ToolRefuses(const std::vector<std::string>& argv, int status,
                                              const std::vector<std::string>& said,
                                              const std::vector<std::string>& env = {})
{
    std::string line;
    for (const std::string& a : argv) {
        line += (line.empty() ? "" : " ") + (a.empty() ? std::string("''") : a);
    }
    ChildProcess tool(argv, env);
    const int got = tool.WaitExit(std::chrono::seconds(60));
    if (got == -1) {
        tool.Kill(SIGKILL);
        return ::testing::AssertionFailure() << line << ": still running after a minute\n" << tool.Output();
    }
    if (!WIFEXITED(got) || WEXITSTATUS(got) != status) {
        return ::testing::AssertionFailure() << line << ": wait status " << got << ", not exit " << status << "\n"
                                             << tool.Output();
    }
    for (const std::string& part : said) {
        if (tool.Output().find(part) == std::string::npos) {
            return ::testing::AssertionFailure() << line << ": does not say \"" << part << "\"\n" << tool.Output();
        }
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult ToolRefuses(const std::vector<std::string>& argv, int status, const std::string& said,
                                              const std::vector<std::string>& env = {})
{
    return ToolRefuses(argv, status, std::vector<std::string>{said}, env);
}

// One row of a tool's table of bad inputs: its arguments, what it must say, its exit status.
struct Refusal {
    std::vector<std::string> args;
    std::string said;
    int status = 2;
};

// Runs `tool ARGS...` for each row: each must be refused with its status, saying its text and
// every text of `also` (the usage, say).
inline void ExpectRefusals(const std::string& tool, const std::vector<Refusal>& rows,
                           const std::vector<std::string>& also = {}, const std::vector<std::string>& env = {})
{
    for (const Refusal& row : rows) {
        std::vector<std::string> argv = {tool};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        std::vector<std::string> said = also;
        said.insert(said.begin(), row.said);
        EXPECT_TRUE(ToolRefuses(argv, row.status, said, env));
    }
}
