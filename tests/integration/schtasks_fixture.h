#pragma once

// Runs the helper against the stand-in schtasks.exe with a task store, log folder and call
// record of its own, so that tests can run side by side.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "../standins/schtasks/standin_record.h"
#include "helper_process.h"

namespace schtasks_tests {

using namespace qsh::testing;

inline std::string utf16le(const std::wstring& text, bool bom = true) {
    std::string bytes = bom ? std::string("\xFF\xFE") : std::string();
    for (wchar_t unit : text) {
        bytes.push_back(static_cast<char>(static_cast<unsigned>(unit) & 0xFF));
        bytes.push_back(static_cast<char>((static_cast<unsigned>(unit) >> 8) & 0xFF));
    }
    return bytes;
}

inline std::string utf16be(const std::wstring& text, bool bom = true) {
    std::string bytes = bom ? std::string("\xFE\xFF") : std::string();
    for (wchar_t unit : text) {
        bytes.push_back(static_cast<char>((static_cast<unsigned>(unit) >> 8) & 0xFF));
        bytes.push_back(static_cast<char>(static_cast<unsigned>(unit) & 0xFF));
    }
    return bytes;
}

inline std::string codePage(const std::wstring& text, UINT page) {
    int n = WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    WideCharToMultiByte(page, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

inline std::string resultLine(int code, const std::string& message) {
    return "QUILLFEN_HELPER_RESULT status=" + std::string(code == 0 ? "success" : "failure") +
           " exitCode=" + std::to_string(code) + " message=" + message + "\r\n";
}

// A Task document as the calling application might write it; `description` makes room for
// text outside ASCII.
inline std::wstring taskBody(const std::wstring& description = L"Quillfen caf\u00E9 run") {
    return L"<Task version=\"1.2\" "
           L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
           L"  <RegistrationInfo>\r\n"
           L"    <Description>" +
           description +
           L"</Description>\r\n"
           L"  </RegistrationInfo>\r\n"
           L"  <Triggers>\r\n"
           L"    <CalendarTrigger>\r\n"
           L"      <StartBoundary>2026-01-01T07:30:00</StartBoundary>\r\n"
           L"      <ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay>\r\n"
           L"    </CalendarTrigger>\r\n"
           L"  </Triggers>\r\n"
           L"  <Actions Context=\"Author\">\r\n"
           L"    <Exec>\r\n"
           L"      <Command>C:\\Windows\\System32\\cmd.exe</Command>\r\n"
           L"      <Arguments>/C quillfen -noGui</Arguments>\r\n"
           L"    </Exec>\r\n"
           L"  </Actions>\r\n"
           L"</Task>\r\n";
}

inline std::wstring declaration(const std::wstring& encoding) {
    return L"<?xml version=\"1.0\" encoding=\"" + encoding + L"\"?>\r\n";
}

class SchtasksTest : public ::testing::Test {
  protected:
    HelperRun makeRun(std::vector<std::wstring> args,
                      std::vector<std::pair<std::wstring, std::wstring>> standin = {}) const {
        HelperRun run;
        run.args = std::move(args);
        run.localAppData = localAppData();
        run.env = {{L"QSH_STANDIN_TASKS_DIR", store.path()},
                   {L"QSH_STANDIN_SCHTASKS_RECORD", recordPath}};
        for (auto& [name, value] : standin) {
            run.env.emplace_back(L"QSH_STANDIN_SCHTASKS_" + name, value);
        }
        return run;
    }

    HelperOutcome run(std::vector<std::wstring> args,
                      std::vector<std::pair<std::wstring, std::wstring>> standin = {}) const {
        HelperOutcome outcome = runHelper(makeRun(std::move(args), std::move(standin)));
        EXPECT_TRUE(outcome.started) << outcome.startError;
        EXPECT_FALSE(outcome.timedOut);
        return outcome;
    }

    // A space in the folder name makes every path the helper hands on need quoting.
    std::wstring localAppData() const { return local / L"app data"; }
    std::wstring stagingFolder() const { return localAppData() + L"\\Quillfen\\temp"; }
    std::wstring taskFile(const std::wstring& name = L"Quillfen") const { return store / name; }

    std::vector<std::string> logOf(const HelperOutcome& outcome) const {
        return logMessagesOf(readLog(localAppData()), outcome.pid);
    }
    static bool contains(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    static bool containsPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::vector<qsh::standin::SchtasksCall> calls() const {
        return qsh::standin::parseSchtasksRecord(readFile(recordPath).value_or(""));
    }
    std::vector<std::wstring> stagedFiles() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((stagingFolder() + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                names.emplace_back(data.cFileName);
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return names;
    }

    TempDir local;
    TempDir store;
    TempDir files;
    std::wstring recordPath = local / L"schtasks-calls.txt";
};

} // namespace schtasks_tests
