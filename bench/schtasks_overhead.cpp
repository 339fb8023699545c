// What the helper adds to one schtasks run: `delete` through the helper against the stand-in
// schtasks.exe started directly the same way, alternating, with the task recreated each time.
// Run inside the stand-in prefix (scripts/bench-schtasks).
//
//   schtasks_overhead [iterations]

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "helper_process.h"

using namespace qsh::testing;

namespace {

double nowMs() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::wstring systemSchtasks() {
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, n) + L"\\schtasks.exe";
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    int iterations = argc > 1 ? _wtoi(argv[1]) : 21;
    TempDir local;
    TempDir store;
    const std::string task =
        std::string("\xFF\xFE", 2) + std::string("<\0T\0a\0s\0k\0>\0<\0/\0T\0a\0s\0k\0>\0", 26);

    HelperRun helper;
    helper.args = {L"delete"};
    helper.localAppData = local.path();
    helper.env = {{L"QSH_STANDIN_TASKS_DIR", store.path()}};
    HelperRun version = helper;
    version.args = {L"--version"};
    HelperRun direct = helper;
    direct.exePath = systemSchtasks();
    direct.args = {L"/DELETE", L"/TN", L"Quillfen", L"/F"};

    std::vector<double> viaHelper;
    std::vector<double> alone;
    std::vector<double> started;
    for (int i = 0; i < iterations + 1; ++i) {
        for (HelperRun* run : {&helper, &direct, &version}) {
            writeFile(store / L"Quillfen", task);
            double start = nowMs();
            HelperOutcome outcome = runHelper(*run);
            double elapsed = nowMs() - start;
            if (!outcome.started || outcome.exitCode != 0) {
                std::fprintf(stderr, "run failed: started=%d exit=%lu err=%s\n", outcome.started,
                             outcome.exitCode, outcome.err.c_str());
                return 1;
            }
            if (i == 0) {
                continue; // warm-up
            }
            (run == &helper ? viaHelper : run == &direct ? alone : started).push_back(elapsed);
        }
    }
    double helperMs = median(viaHelper);
    double aloneMs = median(alone);
    std::printf("delete through the helper: median %.1f ms over %d runs\n", helperMs, iterations);
    std::printf("stand-in schtasks.exe alone: median %.1f ms over %d runs\n", aloneMs, iterations);
    std::printf("added by the helper: %.1f ms (ratio %.2f)\n", helperMs - aloneMs,
                helperMs / aloneMs);
    // Under Wine a process start alone costs tens of milliseconds; this separates it out.
    double startMs = median(started);
    std::printf("helper --version (its own start and exit): median %.1f ms; added beyond it: "
                "%.1f ms\n",
                startMs, helperMs - aloneMs - startMs);
    return 0;
}
