#pragma once

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace qsh {

// Stages a copy of the running executable (and the command's files), relaunches it with
// "runas" and the relaunch marker, waits for it and returns its outcome as an exit code.
int stageAndElevate(const std::vector<std::wstring>& list);

// The "runas" launch call; ShellExecuteExW unless a test driver plays the consent prompt.
using RunasLaunch = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);

// Called with each staged copy's path right after the copy, before it is held; a test driver
// uses it to play another program that swaps the file.
using StagedCopyHook = void (*)(const std::wstring& stagedPath);

// The same with the executable to stage named by the caller; a test driver uses it to
// relaunch a real build of the helper from a process of its own.
int stageAndElevateFrom(const std::vector<std::wstring>& list, const std::wstring& selfPath,
                        RunasLaunch launch = ShellExecuteExW, StagedCopyHook afterCopy = nullptr);

} // namespace qsh
