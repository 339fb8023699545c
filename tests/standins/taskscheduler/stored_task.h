#pragma once

// The stand-in's task store (QSH_STANDIN_TASKS_DIR, shared with the stand-in schtasks.exe: one
// file per task name, UTF-16 LE with a byte order mark) and what the service reads out of a
// stored document, by plain text search.

#include <windows.h>
#include <taskschd.h>

#include <optional>
#include <string>

namespace standin {

// The store folder; default: the system folder's Tasks.
std::wstring storeFolder();

// The document stored under `name`; nullopt when there is none (or it is not UTF-16 LE).
std::optional<std::wstring> readStoredTask(const std::wstring& name);

// The principal that the service answers for a stored document. An element that the document's
// Principals leave out reads as the registration gave it: the registering user, an interactive
// token, least privilege, no group.
struct StoredPrincipal {
    std::wstring userId;
    std::wstring groupId;
    TASK_LOGON_TYPE logonType = TASK_LOGON_INTERACTIVE_TOKEN;
    TASK_RUNLEVEL_TYPE runLevel = TASK_RUNLEVEL_LUA;
};
StoredPrincipal storedPrincipal(const std::wstring& xml, const std::wstring& registeringUser);

} // namespace standin
