#include "app/entry.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/result.h"
#include "base/constants.h"
#include "base/token.h"
#include "base/unique_resource.h"
#include "base/utf8.h"
#include "base/windows_error.h"
#include "diag/log.h"
#include "diag/streams.h"
#include "elevation/stage.h"
#include "process/command_line.h"
#include "process/self_path.h"
#include "tasks/apply_times.h"
#include "tasks/create_xml.h"
#include "tasks/schtasks_commands.h"

namespace qsh {
namespace {

struct SplitCommandLine {
    bool ok = false;
    ArgList list;
    bool relaunched = false;
};

SplitCommandLine splitOwnCommandLine() {
    SplitCommandLine split;
    int count = 0;
    const LocalOwned<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!argv) {
        return split;
    }
    split.ok = true;
    for (int i = 1; i < count; ++i) {
        const wchar_t* arg = argv.get()[i];
        if (std::wstring_view(arg) == kElevationMarker) {
            split.relaunched = true;
            continue;
        }
        split.list.emplace_back(arg);
    }
    return split;
}

void logBanner(const ArgList& list) {
    logMessage(std::wstring(60, L'='));
    logMessage(std::wstring(L"QuillfenSchedulerHelper version ") + kHelperVersion + L" starting");
    logMessage(L"Executable: " + getSelfPath());
    logMessage(L"Arguments: " + joinCommandLine(list));
}

// Any failure to read the token counts as not elevated: the relaunch path then
// asks for the rights instead of running without them.
bool processIsElevated() {
    TokenFailure failure;
    const std::optional<bool> elevated = ownTokenElevation(failure);
    if (!elevated) {
        std::wstring call = failure.call;
        if (call == L"GetTokenInformation") {
            call += L"(TokenElevation)";
        }
        logMessage(call + L" failed: " + formatWindowsError(failure.error));
        return false;
    }
    return *elevated;
}

// Every path of runHelper that has its arguments ends in one of these two: the result line
// alone, or the result line and "Helper exiting" in the log.
int endWithResult(int code, const ArgList& list) {
    writeResult(code, list);
    return code;
}

int endWithResultAndExitLine(int code, const ArgList& list) {
    writeResult(code, list);
    logMessage(L"Helper exiting with code " + std::to_wstring(code));
    return code;
}

int usageCode() {
    writeUsage();
    return kExitUsage;
}

// Arguments that cannot even be split have no list for writeResult to name a command from.
int unsplitArguments() {
    writeInheritedStream(STD_OUTPUT_HANDLE, L"QUILLFEN_HELPER_RESULT status=failure exitCode=2 "
                                            L"message=Could not parse scheduler helper "
                                            L"arguments.");
    return kExitUsage;
}

int printVersion(const ArgList& list) {
    if (list.size() != 1) {
        writeUsage();
        return kExitUsage;
    }
    writeInheritedStream(STD_ERROR_HANDLE, kHelperVersion);
    return kExitSuccess;
}

// A second relaunch would only loop; the caller learns of it through code 5.
int refuseSecondRelaunch() {
    reportError(L"The helper was relaunched with the runas verb but still does not have an "
                L"elevated token.");
    return kExitNotElevated;
}

int dispatchElevated(const std::wstring& word, const ArgList& list, bool relaunched) {
    const std::size_t operands = list.size() - 1;
    if (word == L"create-default" && operands == 0) {
        return runCreateDefault();
    }
    if (word == L"create-xml" && operands == 1 && !list[1].empty()) {
        return handleCreateXml(list[1], relaunched);
    }
    if (word == L"apply-times" && operands == 2 && !list[1].empty() && !list[2].empty()) {
        return handleApplyTimes(list[1], list[2], relaunched);
    }
    if (word == L"delete" && operands == 0) {
        return runDelete();
    }
    return usageCode();
}

} // namespace

int runHelper() {
    SplitCommandLine split = splitOwnCommandLine();
    if (!split.ok) {
        return unsplitArguments();
    }
    const ArgList& list = split.list;
    logBanner(list);
    if (list.empty()) {
        writeUsage();
        return endWithResult(kExitUsage, list);
    }

    const std::wstring word = lowerCopy(list[0]);
    if (word == L"query-to-file") {
        const bool wellFormed = list.size() == 2 && !list[1].empty();
        return endWithResultAndExitLine(
            wellFormed ? runQueryToFile(list[1], split.relaunched) : usageCode(), list);
    }
    if (word == L"--version" || word == L"version") {
        return endWithResult(printVersion(list), list);
    }

    const bool elevated = processIsElevated();
    logMessage(std::wstring(L"Elevated token: ") + (elevated ? L"yes" : L"no"));
    if (elevated) {
        return endWithResultAndExitLine(dispatchElevated(word, list, split.relaunched), list);
    }
    if (split.relaunched) {
        return endWithResult(refuseSecondRelaunch(), list);
    }
    if (word == L"create-xml" && list.size() == 2 && list[1].empty()) {
        // Nothing to stage: asking for the rights would only bring a prompt for usage.
        return endWithResultAndExitLine(usageCode(), list);
    }
    return endWithResultAndExitLine(stageAndElevate(list), list);
}

} // namespace qsh
