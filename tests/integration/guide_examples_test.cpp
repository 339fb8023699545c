// The examples of the caller's guide (docs/calling-the-helper.md, copied beside the test
// executables by the build): every command line of its console blocks is run, in order, and
// must print exactly the result line the guide shows under it.

#include <gtest/gtest.h>

#include <cstdlib>
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

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out.push_back(line);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return out;
}

// Prompt lines inside ```console fences, each with the line that follows it.
std::vector<Example> guideExamples(const std::string& guide) {
    std::vector<Example> examples;
    const std::vector<std::string> all = lines(guide);
    bool inFence = false;
    bool console = false;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string& line = all[i];
        if (line.rfind("```", 0) == 0) {
            console = !inFence && line == "```console";
            inFence = !inFence;
            continue;
        }
        if (!console || line.rfind(kPrompt, 0) != 0) {
            continue;
        }
        std::string arguments = line.substr(kPrompt.size());
        if (!arguments.empty() && arguments.front() == ' ') {
            arguments.erase(0, 1);
        }
        examples.push_back(
            {static_cast<int>(i + 1), arguments, i + 1 < all.size() ? all[i + 1] : std::string()});
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
