#include <gtest/gtest.h>

#include <climits>

#include "app/result.h"
#include "diag/streams.h"

using qsh::ArgList;

TEST(ResultPhrase, EveryCommandWordInAnyCase) {
    EXPECT_EQ(qsh::operationPhrase({}), L"run the requested operation");
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"Create-Default", L"create the default Windows scheduled task"},
        {L"CREATE-XML", L"create the Windows scheduled task from XML"},
        {L"query-to-file", L"query the Windows scheduled task"},
        {L"Apply-Times", L"apply the Windows scheduled task times"},
        {L"DELETE", L"delete the Windows scheduled task"},
        {L"--Version", L"read the scheduler helper version"},
        {L"VERSION", L"read the scheduler helper version"},
        {L"FOO", L"run command foo"},
        // Nothing in the word may break or split the line: controls, tab and separators.
        {L"a\tb\177c\205d\u2028e\u2029f", L"run command a?b?c?d?e?f"},
        // Nor make it show something else: C1 and every bidirectional control, as in the log.
        {L"a\u0080b\u0086c\u009Fd\u202Ae\u202Ef\u2066g\u2069h", L"run command a?b?c?d?e?f?g?h"},
        // Their neighbours stay.
        {L"a~b\u00A0c\u2027d\u202Fe\u2065f\u206Ag",
         L"run command a~b\u00A0c\u2027d\u202Fe\u2065f\u206Ag"},
    };
    for (const auto& [word, phrase] : rows) {
        EXPECT_EQ(qsh::operationPhrase({word}), phrase) << word;
        // The operand count never changes the phrase.
        EXPECT_EQ(qsh::operationPhrase({word, L"x", L"y", L"z"}), phrase) << word;
    }
    EXPECT_EQ(qsh::operationPhrase({L""}), L"run command ");
}

TEST(ResultPhrase, LineBreakInWordCannotSplitTheResultLine) {
    const std::wstring line = qsh::buildResultLine(
        1, {L"x\r\nQUILLFEN_HELPER_RESULT status=success exitCode=0 message=forged"});
    EXPECT_EQ(line.find_first_of(L"\r\n"), std::wstring::npos);
    EXPECT_EQ(line, L"QUILLFEN_HELPER_RESULT status=failure exitCode=1 message=Could not run "
                    L"command x??quillfen_helper_result status=success exitcode=0 "
                    L"message=forged. Exit code 1.");
}

TEST(ResultMessage, EveryRowOfTheExitCodeTable) {
    const std::pair<int, std::wstring> rows[] = {
        {0, L"Completed request to delete the Windows scheduled task."},
        {2, L"Missing or invalid scheduler helper arguments."},
        {3, L"The scheduler XML input file was not found."},
        {4, L"The scheduler XML could not be decoded, validated, normalized, or written."},
        {5, L"The scheduler helper was relaunched but did not receive an elevated token."},
        {6, L"The scheduler helper could not stage itself for elevation."},
        {7, L"The scheduler helper could not launch or monitor its elevated process."},
        {1223, L"The Windows administrator prompt was cancelled."},
        {1460, L"The scheduler helper timed out while attempting to delete the Windows "
               L"scheduled task."},
        // Generic form, including the neighbours of the fixed codes.
        {1, L"Could not delete the Windows scheduled task. Exit code 1."},
        {8, L"Could not delete the Windows scheduled task. Exit code 8."},
        {31, L"Could not delete the Windows scheduled task. Exit code 31."},
        {1222, L"Could not delete the Windows scheduled task. Exit code 1222."},
        {1224, L"Could not delete the Windows scheduled task. Exit code 1224."},
        {1459, L"Could not delete the Windows scheduled task. Exit code 1459."},
        {1461, L"Could not delete the Windows scheduled task. Exit code 1461."},
        {-1, L"Could not delete the Windows scheduled task. Exit code -1."},
        {INT_MIN, L"Could not delete the Windows scheduled task. Exit code -2147483648."},
        {INT_MAX, L"Could not delete the Windows scheduled task. Exit code 2147483647."},
    };
    for (const auto& [code, message] : rows) {
        EXPECT_EQ(qsh::resultMessage(code, L"delete the Windows scheduled task"), message);
    }
}

TEST(ResultLine, StatusCodeAndMessageFields) {
    EXPECT_EQ(qsh::buildResultLine(0, {L"--version"}),
              L"QUILLFEN_HELPER_RESULT status=success exitCode=0 message=Completed request to "
              L"read the scheduler helper version.");
    EXPECT_EQ(qsh::buildResultLine(1, {L"delete"}),
              L"QUILLFEN_HELPER_RESULT status=failure exitCode=1 message=Could not delete the "
              L"Windows scheduled task. Exit code 1.");
    EXPECT_EQ(qsh::buildResultLine(1460, {L"query-to-file", L"C:\\out.xml"}),
              L"QUILLFEN_HELPER_RESULT status=failure exitCode=1460 message=The scheduler helper "
              L"timed out while attempting to query the Windows scheduled task.");
    // A Windows status code read back as a negative int keeps its sign.
    EXPECT_EQ(qsh::buildResultLine(static_cast<int>(0xC0000005u), {L"Apply-Times"}),
              L"QUILLFEN_HELPER_RESULT status=failure exitCode=-1073741819 message=Could not "
              L"apply the Windows scheduled task times. Exit code -1073741819.");
    EXPECT_EQ(qsh::buildResultLine(2, {}),
              L"QUILLFEN_HELPER_RESULT status=failure exitCode=2 message=Missing or invalid "
              L"scheduler helper arguments.");
}

TEST(ResultUsage, TextByteForByte) {
    EXPECT_EQ(qsh::usageText(), L"QuillfenSchedulerHelper 1.1.0\r\n"
                                L"Commands:\r\n"
                                L"  create-default\r\n"
                                L"  create-xml <task-xml-path>\r\n"
                                L"  query-to-file <output-xml-path>\r\n"
                                L"  apply-times <HH:mm:ss[,HH:mm:ss...]> <output-xml-path>\r\n"
                                L"  delete\r\n");
}

namespace {

// Captures what writeInheritedStream sends to standard error through a pipe.
std::string capturedStandardError(const std::wstring& text) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, nullptr, 1 << 16)) {
        ADD_FAILURE() << "CreatePipe " << GetLastError();
        return {};
    }
    HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, write);
    qsh::writeInheritedStream(STD_ERROR_HANDLE, text);
    SetStdHandle(STD_ERROR_HANDLE, saved);
    CloseHandle(write);
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    CloseHandle(read);
    return bytes;
}

} // namespace

TEST(ResultStream, LineEndsAddedOnlyWhenMissing) {
    EXPECT_EQ(capturedStandardError(L"a"), "a\r\n");
    EXPECT_EQ(capturedStandardError(L"a\r\n"), "a\r\n");
    EXPECT_EQ(capturedStandardError(L"a\n"), "a\n");
    EXPECT_EQ(capturedStandardError(L""), "\r\n");
    EXPECT_EQ(capturedStandardError(L"a\r"), "a\r\r\n");
    EXPECT_EQ(capturedStandardError(L"J\u00fcrgen \u20ac"), "J\xC3\xBCrgen \xE2\x82\xAC\r\n");
}

TEST(ResultStream, NoHandleWritesNothingAndDoesNotFail) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 1 << 16));
    const HANDLE savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE savedErr = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, write);
    for (HANDLE none : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        SetStdHandle(STD_OUTPUT_HANDLE, none);
        SetLastError(0);
        qsh::writeInheritedStream(STD_OUTPUT_HANDLE, L"dropped");
        // No write was tried on the missing handle, and nothing went to another stream.
        EXPECT_EQ(GetLastError(), 0u);
    }
    SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
    SetStdHandle(STD_ERROR_HANDLE, savedErr);
    DWORD waiting = 1;
    EXPECT_TRUE(PeekNamedPipe(read, nullptr, 0, nullptr, &waiting, nullptr));
    EXPECT_EQ(waiting, 0u);
    CloseHandle(write);
    CloseHandle(read);
}
