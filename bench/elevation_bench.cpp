// What the staged relaunch costs: wall time of `delete` run elevated, run from a limited
// token (staged, relaunched, and refused by the still non-elevated copy), and relaunched
// from an elevated driver (staged, relaunched, and carried out by the elevated copy);
// and the staging steps alone: copying the executable and resolving its physical path.
// Given a second build of the helper, it also times that build and this one in turns on
// `delete` from a limited token (staging, holds and checks) and an elevated `create-xml`
// (the elevated checks of the log and the staging file).
//
//   elevation_bench [runs [other-helper.exe]]   (run inside the stand-in prefix; medians)

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "elevation/physical_path.h"
#include "helper_process.h"

using namespace qsh::testing;

namespace {

double secondsOf(const std::function<void()>& work) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void report(const char* what, const std::vector<double>& seconds, double scale, const char* unit) {
    std::printf("%-58s median %8.2f %s  (min %.2f, max %.2f, n=%zu)\n", what,
                median(seconds) * scale, unit,
                *std::min_element(seconds.begin(), seconds.end()) * scale,
                *std::max_element(seconds.begin(), seconds.end()) * scale, seconds.size());
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 9;
    TempDir dir;
    const std::wstring tasks = dir / L"tasks";
    CreateDirectoryW(tasks.c_str(), nullptr);
    const std::wstring helper = helperExePath();
    const std::wstring driver = moduleDirectory() + L"qsh-stage-driver.exe";
    const std::vector<std::pair<std::wstring, std::wstring>> env = {
        {L"QSH_STANDIN_TASKS_DIR", tasks}};

    HelperRun elevated;
    elevated.args = {L"delete"};
    elevated.localAppData = dir.path();
    elevated.env = env;
    HelperRun limited = elevated;
    limited.limitedToken = true;
    // Untimed: gives each timed delete a task to remove.
    HelperRun create = elevated;
    create.args = {L"create-default"};
    HelperRun relaunched = elevated;
    relaunched.args = {helper, L"delete"};
    relaunched.exePath = driver;

    // One warm-up of each, so that the first run does not pay for loading Wine's DLLs.
    for (const HelperRun* run : {&create, &elevated, &limited, &create, &relaunched}) {
        runHelper(*run);
    }
    std::vector<double> elevatedTimes, limitedTimes, relaunchedTimes;
    int badCodes = 0;
    for (int i = 0; i < runs; ++i) {
        HelperOutcome outcome;
        runHelper(create);
        elevatedTimes.push_back(secondsOf([&] { outcome = runHelper(elevated); }));
        badCodes += outcome.code() != 0;
        limitedTimes.push_back(secondsOf([&] { outcome = runHelper(limited); }));
        badCodes += outcome.code() != 5;
        runHelper(create);
        relaunchedTimes.push_back(secondsOf([&] { outcome = runHelper(relaunched); }));
        badCodes += outcome.code() != 0;
    }

    std::vector<double> copyTimes, resolveTimes;
    const std::wstring staged = dir / L"staged-copy.exe";
    for (int i = 0; i < std::max(runs, 20); ++i) {
        copyTimes.push_back(secondsOf([&] { CopyFileW(helper.c_str(), staged.c_str(), FALSE); }));
        std::filesystem::path physical;
        std::wstring error;
        resolveTimes.push_back(
            secondsOf([&] { qsh::resolvePhysicalPath(staged, physical, error); }));
        DeleteFileW(staged.c_str());
    }

    if (argc > 2) {
        const std::wstring input = dir / L"task.xml";
        writeFile(input, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Task version=\"1.2\" "
                         "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
                         "<Actions><Exec><Command>cmd.exe</Command></Exec></Actions></Task>\r\n");
        HelperRun importing = elevated;
        importing.args = {L"create-xml", input};
        const std::wstring builds[] = {argv[2], helper};
        std::vector<double> limitedOf[2], importOf[2];
        for (int i = 0; i < runs; ++i) {
            for (int b = 0; b < 2; ++b) {
                HelperOutcome outcome;
                limited.exePath = builds[b];
                importing.exePath = builds[b];
                limitedOf[b].push_back(secondsOf([&] { outcome = runHelper(limited); }));
                badCodes += outcome.code() != 5;
                importOf[b].push_back(secondsOf([&] { outcome = runHelper(importing); }));
                badCodes += outcome.code() != 0;
            }
        }
        report("delete, limited token: other build", limitedOf[0], 1000, "ms");
        report("delete, limited token: this build", limitedOf[1], 1000, "ms");
        report("create-xml, elevated: other build", importOf[0], 1000, "ms");
        report("create-xml, elevated: this build", importOf[1], 1000, "ms");
    }

    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    GetFileAttributesExW(helper.c_str(), GetFileExInfoStandard, &attributes);
    std::printf("helper executable: %lu bytes\n", attributes.nFileSizeLow);
    report("delete, elevated", elevatedTimes, 1000, "ms");
    report("delete, limited token (relaunch, copy refuses with 5)", limitedTimes, 1000, "ms");
    report("delete, relaunched from elevated driver (copy does it)", relaunchedTimes, 1000, "ms");
    report("staging copy of the executable (CopyFileW)", copyTimes, 1000, "ms");
    report("physical path of the staged copy", resolveTimes, 1000, "ms");
    if (badCodes != 0) {
        std::printf("warning: %d runs ended with an unexpected exit code\n", badCodes);
    }
    return badCodes == 0 ? 0 : 1;
}
