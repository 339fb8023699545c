// What the staged relaunch costs: wall time of `delete` run elevated, run from a limited
// token (staged, relaunched, and refused by the still non-elevated copy), and relaunched
// from an elevated driver (staged, relaunched, and carried out by the elevated copy);
// and the staging steps alone: copying the executable and resolving its physical path.
// Given other builds of the helper, it also times them and this one in turns on `delete` from
// a limited token (staging, holds and checks) and an elevated `create-xml` (the elevated
// checks of the log and the staging file, and after schtasks.exe the read-back of the
// registered task), and reads from the log stamps of an elevated `create-default` the helper's
// own work before and after schtasks.exe, and of the `create-xml` its work after schtasks.exe;
// the create-xml figures also as this build's difference within each round.
//
//   elevation_bench [runs [other-helper.exe...]]   (run inside the stand-in prefix; medians)

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

// Milliseconds into the day of a log stamp "YYYY-MM-DD HH:MM:SS.mmm".
double stampMs(const std::string& stamp) {
    unsigned hour = 0, minute = 0, second = 0, ms = 0;
    if (stamp.size() < 23 ||
        std::sscanf(stamp.c_str() + 11, "%u:%u:%u.%u", &hour, &minute, &second, &ms) != 4) {
        return 0;
    }
    return ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + ms;
}

// The helper's own work around schtasks.exe in one run, from its log stamps: from the banner
// to the schtasks launch, and from schtasks' end to the exit. Wine reuses process ids, so the
// last banner of the id starts the run.
std::pair<double, double> ownWorkOf(const std::wstring& local, DWORD pid) {
    double banner = 0, launch = 0, end = 0, exit = 0;
    for (const LogEntry& entry : readLog(local)) {
        if (entry.pid != pid) {
            continue;
        }
        const double at = stampMs(entry.stamp);
        if (entry.message == std::string(60, '=')) {
            banner = at;
        } else if (entry.message.starts_with("Launching schtasks.exe")) {
            launch = at;
        } else if (entry.message.find(": exitCode=") != std::string::npos) {
            end = at;
        } else if (entry.message.starts_with("Helper exiting with code")) {
            exit = at;
        }
    }
    return {(launch - banner) / 1000, (exit - end) / 1000};
}

// This build's figure minus another's, round by round: runs of one round share the machine's
// load, so their difference is steadier than either figure.
std::vector<double> pairedDifference(const std::vector<double>& mine,
                                     const std::vector<double>& other) {
    std::vector<double> difference;
    for (std::size_t i = 0; i < mine.size() && i < other.size(); ++i) {
        difference.push_back(mine[i] - other[i]);
    }
    return difference;
}

// Other builds and this one in turns: `delete` from a limited token (staging, holds and
// checks), an elevated `create-xml` (the elevated checks of the log and the staging file, and
// its own work after schtasks.exe), and the own work of an elevated `create-default`. Returns the
// count of unexpected exit codes.
int compareBuilds(std::vector<std::wstring> builds, const std::wstring& helper, int runs,
                  const TempDir& dir, HelperRun elevated, HelperRun limited) {
    builds.push_back(helper);
    const std::wstring input = dir / L"task.xml";
    writeFile(input, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Task version=\"1.2\" "
                     "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
                     "<Actions><Exec><Command>cmd.exe</Command></Exec></Actions></Task>\r\n");
    HelperRun importing = elevated;
    importing.args = {L"create-xml", input};
    HelperRun creating = elevated;
    creating.args = {L"create-default"};
    const std::size_t n = builds.size();
    std::vector<std::vector<double>> limitedOf(n), importOf(n), importAfter(n), beforeLaunch(n),
        afterEnd(n);
    int badCodes = 0;
    for (int i = 0; i < runs; ++i) {
        for (std::size_t b = 0; b < n; ++b) {
            HelperOutcome outcome;
            limited.exePath = importing.exePath = creating.exePath = builds[b];
            limitedOf[b].push_back(secondsOf([&] { outcome = runHelper(limited); }));
            badCodes += outcome.code() != 5;
            importOf[b].push_back(secondsOf([&] { outcome = runHelper(importing); }));
            badCodes += outcome.code() != 0;
            importAfter[b].push_back(ownWorkOf(*importing.localAppData, outcome.pid).second);
            outcome = runHelper(creating);
            badCodes += outcome.code() != 0;
            const auto [before, after] = ownWorkOf(*creating.localAppData, outcome.pid);
            beforeLaunch[b].push_back(before);
            afterEnd[b].push_back(after);
        }
    }
    for (std::size_t b = 0; b < n; ++b) {
        std::printf("%s%ls\n", b + 1 == n ? "this build: " : "other build: ", builds[b].c_str());
        report("  delete, limited token", limitedOf[b], 1000, "ms");
        report("  create-xml, elevated", importOf[b], 1000, "ms");
        report("  create-xml, elevated: schtasks end to exit", importAfter[b], 1000, "ms");
        report("  create-default, elevated: banner to schtasks launch", beforeLaunch[b], 1000,
               "ms");
        report("  create-default, elevated: schtasks end to exit", afterEnd[b], 1000, "ms");
    }
    for (std::size_t b = 0; b + 1 < n; ++b) {
        std::printf("this build minus %ls, round by round\n", builds[b].c_str());
        report("  create-xml, elevated", pairedDifference(importOf[n - 1], importOf[b]), 1000,
               "ms");
        report("  create-xml, elevated: schtasks end to exit",
               pairedDifference(importAfter[n - 1], importAfter[b]), 1000, "ms");
    }
    return badCodes;
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
        const std::vector<std::wstring> builds(argv + 2, argv + argc);
        badCodes += compareBuilds(builds, helper, runs, dir, elevated, limited);
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
