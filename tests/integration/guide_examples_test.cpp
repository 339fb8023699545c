// The examples of the caller's guide (docs/calling-the-helper.md, copied beside the test
// executables by the build): every command line of its console blocks is run, in order, and
// must print exactly the result line the guide shows under it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace qsh::testing;

namespace {

const std::string kPrompt = "> QuillfenSchedulerHelper.exe";

struct Example {
    int lineNumber = 0;
    std::string arguments; // the rest of the command line, as written
    std::string resultLine;
};

// Prompt lines inside ```console fences, each with the line that follows it.
std::vector<Example> guideExamples(const std::string& guide) {
    std::vector<Example> examples;
    std::istringstream in(guide);
    bool inFence = false;
    bool console = false;
    bool resultNext = false;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.ends_with('\r')) {
            line.pop_back();
        }
        if (resultNext) {
            examples.back().resultLine = line;
        }
        resultNext = false;
        if (line.starts_with("```")) {
            console = !inFence && line == "```console";
            inFence = !inFence;
        } else if (console && line.starts_with(kPrompt)) {
            const std::size_t space = line.size() > kPrompt.size() && line[kPrompt.size()] == ' ';
            examples.push_back({number, line.substr(kPrompt.size() + space), ""});
            resultNext = true;
        }
    }
    return examples;
}

// The exitCode field of a result line as the guide prints it; -1000 when the line has none.
int printedExitCode(const std::string& resultLine) {
    const std::size_t at = resultLine.find(" exitCode=");
    if (at == std::string::npos) {
        return -1000;
    }
    return std::atoi(resultLine.c_str() + at + 10);
}

using GuideExamples = SandboxTest;

} // namespace

TEST_F(GuideExamples, EveryCommandLineGivesTheResultLineShown) {
    const auto guide = readFile(moduleDirectory() + L"calling-the-helper.md");
    ASSERT_TRUE(guide.has_value()) << "the guide is not beside the test executable";
    const std::vector<Example> examples = guideExamples(*guide);
    // The guide shows every command and the common failures: a parser that finds few is broken.
    ASSERT_GE(examples.size(), 10u);

    for (const Example& example : examples) {
        SCOPED_TRACE("guide line " + std::to_string(example.lineNumber) + ": " + kPrompt + " " +
                     example.arguments);
        HelperRun run = request({});
        run.workingDirectory = files.path();
        run.commandLine = quoteArgument(helperExePath());
        if (!example.arguments.empty()) {
            run.commandLine += L" " + fromUtf8(example.arguments);
        }
        const HelperOutcome outcome = start(run);
        EXPECT_EQ(outcome.out, example.resultLine + "\r\n");
        EXPECT_EQ(outcome.code(), printedExitCode(example.resultLine));
    }
}
