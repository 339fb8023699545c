// Relaunches a given build of the helper the way a non-elevated helper does, from a
// process of the test's choosing: qsh-stage-driver <helper.exe> <argument>...
// Prints the result line and ends with the outcome, like the helper itself.

#include <windows.h>

#include <string>
#include <vector>

#include "app/result.h"
#include "elevation/stage.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    const std::wstring helper = argv[1];
    std::vector<std::wstring> list(argv + 2, argv + argc);
    const int code = qsh::stageAndElevateFrom(list, helper);
    qsh::writeResult(code, list);
    return code;
}
