// qsh-launch: starts the helper as the calling application does and shows what
// that application would see. Used by scripts/run-helper.
//
//   qsh-launch [--localappdata DIR] [--limited] [--no-std-handles] [--] helper-args...
//   qsh-launch --hold-desktop READY-FILE
//
// --hold-desktop makes the prefix's desktop, writes READY-FILE and stays until the Wine
// server ends, so that no program under test is the one that starts the desktop
// (scripts/lib.sh).

#include "helper_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

using namespace qsh::testing;

namespace {

void show(const char* title, const std::string& bytes) {
    std::printf("--- %s (%zu bytes) ---\n", title, bytes.size());
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (!bytes.empty() && bytes.back() != '\n') {
        std::printf("\n");
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], L"--hold-desktop") == 0) {
        if (GetDesktopWindow() == nullptr || !writeFile(argv[2], "")) {
            return 1;
        }
        Sleep(INFINITE);
    }
    HelperRun run;
    std::wstring localAppData;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--localappdata") == 0 && i + 1 < argc) {
            localAppData = argv[++i];
        } else if (std::wcscmp(argv[i], L"--limited") == 0) {
            run.limitedToken = true;
        } else if (std::wcscmp(argv[i], L"--no-std-handles") == 0) {
            run.stdHandles = false;
        } else if (std::wcscmp(argv[i], L"--") == 0) {
            ++i;
            break;
        } else {
            break;
        }
    }
    for (; i < argc; ++i) {
        run.args.emplace_back(argv[i]);
    }
    if (localAppData.empty() && _wgetenv(L"LOCALAPPDATA") != nullptr) {
        localAppData = _wgetenv(L"LOCALAPPDATA");
    }
    if (!localAppData.empty()) {
        run.localAppData = localAppData;
    }

    const std::wstring log = logFilePath(localAppData);
    const std::size_t logBefore = readFile(log).value_or("").size();
    HelperOutcome outcome = runHelper(run);
    if (!outcome.started) {
        std::printf("could not start %s: error %lu\n", toUtf8(helperExePath()).c_str(),
                    outcome.startError);
        return 1;
    }
    show("standard output", outcome.out);
    show("standard error", outcome.err);
    const std::string logText = readFile(log).value_or("");
    show(("log lines of this run, " + toUtf8(log)).c_str(),
         logText.substr(std::min(logBefore, logText.size())));
    std::printf("--- exit code ---\n%ld (0x%08lX)%s\n", static_cast<long>(outcome.code()),
                outcome.exitCode, outcome.timedOut ? " (timed out, terminated)" : "");
    return 0;
}
