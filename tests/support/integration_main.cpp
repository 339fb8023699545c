// Integration tests run in the Wine prefix their registration names (QSH_TEST_PREFIX):
// before any of them runs, the prefix must be the one declared, or every test fails with
// the reason instead of passing against the wrong programs.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "helper_process.h"

namespace {

using namespace qsh::testing;

const std::string kStandinServer = "C:\\windows\\system32\\qsh-taskschd-standin.dll";

std::string registeredTaskScheduler() {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueW(
        HKEY_LOCAL_MACHINE,
        L"Software\\Classes\\CLSID\\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\\InprocServer32",
        nullptr, RRF_RT_REG_SZ, nullptr, value, &size);
    return toUtf8(value);
}

bool sameBytes(const std::wstring& a, const std::wstring& b) {
    const auto left = readFile(a);
    return left && left == readFile(b);
}

class DeclaredPrefix : public ::testing::Environment {
  public:
    void SetUp() override {
        wchar_t value[16] = {};
        const DWORD n = GetEnvironmentVariableW(L"QSH_TEST_PREFIX", value, 16);
        const std::wstring prefix(value, n < 16 ? n : 0);
        const std::wstring schtasks = L"C:\\windows\\system32\\schtasks.exe";
        const std::wstring standin = moduleDirectory() + L"schtasks-standin.exe";
        if (prefix == L"standin") {
            ASSERT_TRUE(sameBytes(schtasks, standin))
                << toUtf8(schtasks) << " is not the built stand-in " << toUtf8(standin)
                << ": prepare the test prefix with scripts/test";
            ASSERT_TRUE(
                sameBytes(fromUtf8(kStandinServer), moduleDirectory() + L"taskschd-standin.dll"))
                << kStandinServer << " is not the built Task Scheduler stand-in";
            ASSERT_EQ(registeredTaskScheduler(), kStandinServer)
                << "the Task Scheduler stand-in is not registered in this prefix";
        } else if (prefix == L"peer") {
            ASSERT_FALSE(sameBytes(schtasks, standin))
                << "the peer prefix must run Wine's own schtasks.exe";
            ASSERT_NE(registeredTaskScheduler(), kStandinServer);
        } else {
            FAIL() << "QSH_TEST_PREFIX must name the prefix these tests run in (standin or "
                      "peer); ctest sets it from the suites' registration";
        }
    }
};

// Wine starts a program run from Linux without a parent process. On Windows every program has
// one, and an elevated helper opens the files named on its command line as that parent, refusing
// when it is gone; the suites that run the helper's code in this process need one too. So the
// first start runs the tests in a child of its own, with the same command line and handles.
constexpr wchar_t kChildVariable[] = L"QSH_TEST_HAS_PARENT";

int runAsChild() {
    SetEnvironmentVariableW(kChildVariable, L"1");
    STARTUPINFOW startup{.cb = sizeof startup, .dwFlags = STARTF_USESTDHANDLES};
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    std::wstring commandLine = GetCommandLineW();
    const std::wstring self = moduleDirectory() + L"integration_tests.exe";
    if (!CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &child)) {
        std::fprintf(stderr, "[harness] could not start the tests as a child: error %lu\n",
                     GetLastError());
        return 1;
    }
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    return static_cast<int>(code);
}

} // namespace

int main(int argc, char** argv) {
    if (GetEnvironmentVariableW(kChildVariable, nullptr, 0) == 0) {
        return runAsChild();
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new DeclaredPrefix);
    return RUN_ALL_TESTS();
}
