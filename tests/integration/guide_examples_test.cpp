// The examples of the caller's guide (docs/calling-the-helper.md, copied beside the test
// executables by the build): every command line of its console blocks is run, in order, and
// must print exactly the result line the guide shows under it. The guide's code example, a
// caller without administrator rights that still reads the result line, runs here too.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
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

// The guide's example, as a caller would write it. The helper's manifest asks for administrator
// rights, so CreateProcessW from a caller that is not elevated fails with 740. The RunAsInvoker
// compatibility layer, named in the environment block of this one CreateProcessW, starts it
// with the caller's own token and pipes; the helper then stages itself and asks for consent
// itself, and its result line still comes back through the pipe.
namespace {
namespace example {

using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;

// The caller's own environment with __COMPAT_LAYER=RunAsInvoker, as a block for
// CREATE_UNICODE_ENVIRONMENT, sorted by name as Windows keeps it (ordinal, ignoring case).
std::wstring environmentRunningAsInvoker() {
    std::vector<std::wstring> entries = {L"__COMPAT_LAYER=RunAsInvoker"};
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            if (_wcsnicmp(entry, L"__COMPAT_LAYER=", 15) != 0) {
                entries.emplace_back(entry);
            }
        }
        FreeEnvironmentStringsW(block);
    }
    // A name ends at the first '=' after its first character: "=C:=C:\work" is named "=C:".
    const auto name = [](const std::wstring& entry) {
        return std::wstring_view(entry).substr(0, entry.find(L'=', 1));
    };
    std::sort(entries.begin(), entries.end(), [&](const std::wstring& a, const std::wstring& b) {
        const std::wstring_view x = name(a), y = name(b);
        return CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(),
                                    static_cast<int>(y.size()), TRUE) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    return block + L'\0';
}

void readToEnd(HANDLE pipe, std::string& into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        into.append(buffer, got);
    }
}

struct HelperResult {
    DWORD exitCode = 0;
    std::string resultLine; // UTF-8, without its CR LF; empty when the helper printed none
    std::string errorText;  // standard error: for people, not for decisions
};

// Runs the helper with `arguments` (quoted by the CommandLineToArgvW rules) and waits for it.
// False, with the Windows error, when it could not be started.
bool runHelper(const std::wstring& helper, const std::wstring& arguments, HelperResult& result,
               DWORD& error) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inheritable, 0)) {
        error = GetLastError();
        return false;
    }
    Handle outReader(outRead, &CloseHandle), outWriter(outWrite, &CloseHandle);
    if (!CreatePipe(&errRead, &errWrite, &inheritable, 0)) {
        error = GetLastError();
        return false;
    }
    Handle errReader(errRead, &CloseHandle), errWriter(errWrite, &CloseHandle);
    // Only the write ends go to the helper.
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr; // the helper reads none
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::wstring commandLine = L"\"" + helper + L"\" " + arguments;
    std::wstring environment = environmentRunningAsInvoker();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(helper.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup,
                        &process)) {
        error = GetLastError();
        return false;
    }
    Handle processHandle(process.hProcess, &CloseHandle), thread(process.hThread, &CloseHandle);
    // The helper holds the only write ends now: the reads end when it does.
    outWriter.reset();
    errWriter.reset();

    // Both pipes at once: a full pipe would stop the helper.
    std::string out;
    std::thread errorReader(readToEnd, errRead, std::ref(result.errorText));
    readToEnd(outRead, out);
    errorReader.join();
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &result.exitCode);

    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.ends_with('\r')) {
            line.pop_back();
        }
        if (line.starts_with("QUILLFEN_HELPER_RESULT ")) {
            result.resultLine = line;
        }
    }
    return true;
}

} // namespace example
} // namespace

// Under Wine every process is elevated and the layer changes nothing: this shows that the call
// is well formed and that the result line comes back through the pipe.
TEST_F(GuideExamples, CallerWithoutAdministratorRightsStillReadsTheResultLine) {
    ASSERT_TRUE(writeFile(taskFile(), utf16le(declaration(L"UTF-16") + taskBody())));
    useHere(); // the caller's own environment names the sandbox's LOCALAPPDATA
    example::HelperResult result;
    DWORD error = 0;
    ASSERT_TRUE(example::runHelper(helperExePath(), L"delete", result, error)) << error;
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.resultLine, "QUILLFEN_HELPER_RESULT status=success exitCode=0 "
                                 "message=Completed request to delete the Windows scheduled task.");
    EXPECT_EQ(result.errorText, "");
    EXPECT_FALSE(fileExists(taskFile()));
}
