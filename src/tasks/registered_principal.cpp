#include "tasks/registered_principal.h"

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <iterator>
#include <string>

#include "base/caller_access.h"
#include "base/com_ptr.h"
#include "base/com_values.h"
#include "base/constants.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/streams.h"
#include "process/result_log.h"
#include "process/runner.h"
#include "tasks/task_account.h"
#include "tasks/task_service.h"

namespace qsh {
namespace {

// Members in order of acquisition: destruction releases them in reverse.
struct ReadBackObjects {
    TaskService scheduler;
    ComPtr<IRegisteredTask> task;
    ComPtr<ITaskDefinition> definition;
    ComPtr<IPrincipal> principal;
};

// The principal as the Task Scheduler answers for the registered task.
struct RegisteredPrincipal {
    std::wstring userId;
    std::wstring groupId;
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
    TASK_RUNLEVEL_TYPE runLevel = TASK_RUNLEVEL_HIGHEST;
};

std::wstring textOf(const UniqueBstr& value) {
    return value ? std::wstring(value.get(), SysStringLen(value.get())) : std::wstring();
}

void readSteps(ComSteps& steps, ReadBackObjects& o, UniqueBstr& user, UniqueBstr& group,
               RegisteredPrincipal& p) {
    openTaskService(steps, o.scheduler);
    steps.run(L"Opening the registered task", [&] {
        return callWithBstr(kTaskName, [&](BSTR name) {
            return o.scheduler.rootFolder->GetTask(name, o.task.put());
        });
    });
    steps.run(L"Reading the registered task's definition",
              [&] { return o.task->get_Definition(o.definition.put()); });
    steps.run(L"Reading the registered task's principal",
              [&] { return o.definition->get_Principal(o.principal.put()); });
    steps.run(L"Reading the registered task's UserId",
              [&] { return o.principal->get_UserId(user.put()); });
    steps.run(L"Reading the registered task's GroupId",
              [&] { return o.principal->get_GroupId(group.put()); });
    steps.run(L"Reading the registered task's LogonType",
              [&] { return o.principal->get_LogonType(&p.logonType); });
    steps.run(L"Reading the registered task's RunLevel",
              [&] { return o.principal->get_RunLevel(&p.runLevel); });
}

// Empty when the registered principal was read into `p`; else what failed.
std::wstring readRegisteredPrincipal(RegisteredPrincipal& p) {
    ComApartment apartment;
    std::wstring error;
    if (!apartment.join(error)) {
        return error;
    }
    // Declared after the apartment: every object and string is given back before it is left.
    ReadBackObjects objects;
    UniqueBstr user;
    UniqueBstr group;
    ComSteps steps;
    readSteps(steps, objects, user, group, p);
    p.userId = textOf(user);
    p.groupId = textOf(group);
    if (!steps.failed() && p.userId.empty()) {
        return L"its principal has no UserId";
    }
    return steps.failure();
}

// A value that Windows answered, as one bounded line.
std::wstring shown(const std::wstring& value) {
    return singleLine(previewText(value, kPreviewUnits));
}

// A name for each TASK_LOGON_TYPE value, in its order: the schema's where it has one.
constexpr const wchar_t* kLogonTypeNames[] = {L"None",
                                              L"Password",
                                              L"S4U",
                                              L"InteractiveToken",
                                              L"Group",
                                              L"ServiceAccount",
                                              L"InteractiveTokenOrPassword"};

std::wstring logonTypeName(TASK_LOGON_TYPE type) {
    const auto index = static_cast<std::size_t>(type);
    return index < std::size(kLogonTypeNames) ? kLogonTypeNames[index] : std::to_wstring(type);
}

std::wstring runLevelName(TASK_RUNLEVEL_TYPE level) {
    return level == TASK_RUNLEVEL_LUA       ? L"LeastPrivilege"
           : level == TASK_RUNLEVEL_HIGHEST ? L"HighestAvailable"
                                            : std::to_wstring(level);
}

// One part of the registered principal: its element, the value Windows answered, whether that
// is more than create-xml allows, and what is allowed instead.
struct Part {
    const wchar_t* element;
    std::wstring value;
    bool beyond;
    const wchar_t* allowed;
};

// What Windows registered beyond a least-privileged task of the asking user, one clause a part;
// empty when nothing.
std::wstring mismatches(const RegisteredPrincipal& p, const std::wstring& askingSid) {
    const Part parts[] = {
        {L"UserId", shown(p.userId), !userIdRefusal(p.userId, askingSid).empty(),
         L"not the user who asked for the task"},
        {L"GroupId", shown(p.groupId), !p.groupId.empty(), L"where no group is allowed"},
        {L"LogonType", logonTypeName(p.logonType), p.logonType != TASK_LOGON_INTERACTIVE_TOKEN,
         L"not InteractiveToken"},
        {L"RunLevel", runLevelName(p.runLevel), p.runLevel != TASK_RUNLEVEL_LUA,
         L"not LeastPrivilege"},
    };
    std::wstring text;
    for (const Part& part : parts) {
        if (part.beyond) {
            text.append(text.empty() ? L"with " : L"; with ")
                .append(part.element)
                .append(L" ")
                .append(part.value)
                .append(L", ")
                .append(part.allowed);
        }
    }
    return text;
}

// Empty when the registered task may stay; else why not.
std::wstring registrationRefusal() {
    std::wstring asking;
    std::wstring error;
    if (!askingUserSid(asking, error)) {
        return L"The registered task could not be checked: " + error;
    }
    RegisteredPrincipal registered;
    if (const std::wstring failure = readRegisteredPrincipal(registered); !failure.empty()) {
        return L"The registered task could not be read back: " + failure + L".";
    }
    if (const std::wstring found = mismatches(registered, asking); !found.empty()) {
        return L"The task XML is refused: Windows registered its task " + found + L".";
    }
    logMessage(L"Read back the registered task: it runs as " + shown(registered.userId) +
               L" with an interactive token and least privilege.");
    return {};
}

// Through schtasks.exe, which needs no COM: the task goes even where the read-back could not
// start. Says how that went.
std::wstring deleteRegisteredTask() {
    const ProcessResult result = runSchtasks({L"/DELETE", L"/TN", kTaskName, L"/F"});
    logProcessResult(L"create-xml delete", result, true);
    const int code = exitCodeFromProcessResult(result);
    if (code != kExitSuccess) {
        return L" Deleting the task failed too (code " + std::to_wstring(code) +
               L"): it may still be registered.";
    }
    return L" The task was deleted.";
}

} // namespace

int keepOnlyTheAskingUsersTask() {
    const std::wstring refusal = registrationRefusal();
    if (refusal.empty()) {
        return kExitSuccess;
    }
    reportError(refusal + deleteRegisteredTask());
    return kExitXmlFailure;
}

} // namespace qsh
