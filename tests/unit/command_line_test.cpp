#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <random>
#include <string>
#include <vector>

#include "process/command_line.h"

namespace {

using Args = std::vector<std::wstring>;

// What CommandLineToArgvW makes of a command line, the way a started program sees it.
Args splitCommandLine(const std::wstring& line) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    if (argv == nullptr) {
        return {L"<CommandLineToArgvW failed>"};
    }
    Args args(argv, argv + count);
    LocalFree(argv);
    return args;
}

TEST(JoinCommandLine, QuotesOnlyWhatNeedsQuoting) {
    const std::pair<Args, std::wstring> cases[] = {
        {{L"/CREATE"}, L"/CREATE"},
        {{L""}, L"\"\""},
        {{L"C:\\Windows\\System32\\cmd.exe /C quillfen -noGui"},
         L"\"C:\\Windows\\System32\\cmd.exe /C quillfen -noGui\""},
        {{L"a\"b"}, L"\"a\\\"b\""},
        {{L"x\\\"y"}, L"\"x\\\\\\\"y\""},
        {{L"C:\\my dir\\"}, L"\"C:\\my dir\\\\\""},
        {{L"C:\\dir\\"}, L"C:\\dir\\"},
        {{L"tab\there"}, L"\"tab\there\""},
        {{L"line\nfeed"}, L"\"line\nfeed\""},
        {{L"vertical\vtab"}, L"\"vertical\vtab\""},
        {{L"a\\\\b c"}, L"\"a\\\\b c\""},
        {{L"\""}, L"\"\\\"\""},
        {{L"caf\u00e9\rform\f"}, L"caf\u00e9\rform\f"},
        // Arguments are separated by single spaces.
        {{}, L""},
        {{L"a", L"", L"b c", L""}, L"a \"\" \"b c\" \"\""},
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(qsh::joinCommandLine(args), expected);
    }
}

// One random argument built from the pieces that quoting gets wrong most easily.
std::wstring randomArgument(std::mt19937& random) {
    static const std::wstring kPieces[] = {
        L"a",      L"Z",      L"/TN",  L"-",      L" ",      L"  ",     L"\t",
        L"\n",     L"\v",     L"\r",   L"\f",     L"\"",     L"\"\"",   L"\\",
        L"\\\\",   L"\\\\\\", L"\\\"", L"\\\\\"", L"\u00e9", L"\u4e2d", L"\U0001F600",
        L"\xD800", L"\xDC00", L"=",    L"'",      L"^",      L"%",      L"&",
    };
    std::uniform_int_distribution<int> length(0, 8);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1);
    std::wstring arg;
    const int pieces = length(random);
    for (int i = 0; i < pieces; ++i) {
        arg += kPieces[piece(random)];
    }
    // Trailing backslashes are the case that decides whether the closing quote survives.
    if (random() % 5 == 0) {
        arg.append(random() % 4 + 1, L'\\');
    }
    return arg;
}

TEST(JoinCommandLineRoundTrip, RandomListsSplitBackUnchanged) {
    std::mt19937 random(20260301);
    const std::wstring programs[] = {L"C:\\Quillfen\\QuillfenSchedulerHelper.exe",
                                     L"C:\\Program Files\\Quillfen\\QuillfenSchedulerHelper.exe"};
    std::uniform_int_distribution<int> argCount(0, 7);

    int mismatches = 0;
    for (int i = 0; i < 1000000; ++i) {
        Args args{programs[i % 2]};
        const int count = argCount(random);
        for (int j = 0; j < count; ++j) {
            args.push_back(randomArgument(random));
        }
        const std::wstring line = qsh::joinCommandLine(args);
        const Args split = splitCommandLine(line);
        if (split != args && ++mismatches <= 5) {
            ADD_FAILURE() << "list " << i << ": " << ::testing::PrintToString(line) << " gave "
                          << ::testing::PrintToString(split);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

} // namespace
