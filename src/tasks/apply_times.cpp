#include "tasks/apply_times.h"

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <cstdio>
#include <filesystem>
#include <utility>

#include "base/bytes.h"
#include "base/caller_access.h"
#include "base/com_ptr.h"
#include "base/com_values.h"
#include "base/constants.h"
#include "base/file_io.h"
#include "base/user_writable_files.h"
#include "base/utf8.h"
#include "diag/log.h"
#include "diag/streams.h"
#include "process/runner.h"
#include "tasks/task_service.h"
#include "text/task_xml.h"

namespace qsh {
namespace {

// Defined here so that no toolchain import library is needed for them.
constexpr IID kIidDailyTrigger = {
    0x126C5CD8, 0xB288, 0x41D5, {0x8D, 0xBF, 0xE4, 0x91, 0x44, 0x6A, 0xDC, 0x5C}};
constexpr IID kIidExecAction = {
    0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};

constexpr wchar_t kTaskAuthor[] = L"Quillfen";
constexpr wchar_t kActionArguments[] = L"/C quillfen -noGui";
constexpr wchar_t kValidationPrefix[] = L"apply-times validation failed: ";

// iswdigit also admits digits of other scripts (Arabic-Indic, full-width, ...), which
// cannot be read as hours; such a token is refused as malformed instead.
bool isTimeDigit(wchar_t unit) {
    return unit >= L'0' && unit <= L'9';
}

unsigned twoDigitValue(const std::wstring& token, std::size_t at) {
    return static_cast<unsigned>(token[at] - L'0') * 10 +
           static_cast<unsigned>(token[at + 1] - L'0');
}

bool checkTimeToken(const std::wstring& token, std::wstring& error) {
    bool wellFormed = token.size() == 8 && token[2] == L':' && token[5] == L':';
    constexpr std::size_t kDigitUnits[] = {0, 1, 3, 4, 6, 7};
    for (std::size_t at : kDigitUnits) {
        wellFormed = wellFormed && isTimeDigit(token[at]);
    }
    if (!wellFormed) {
        error = L"Invalid daily time '" + token + L"'; expected HH:mm:ss.";
        return false;
    }
    if (twoDigitValue(token, 0) > 23 || twoDigitValue(token, 3) > 59 ||
        twoDigitValue(token, 6) > 59) {
        error = L"Daily time is outside the valid range: " + token;
        return false;
    }
    return true;
}

// Members in order of acquisition: destruction releases them in reverse.
struct TaskObjects {
    TaskService scheduler;
    ComPtr<ITaskDefinition> definition;
    ComPtr<IRegistrationInfo> registrationInfo;
    ComPtr<IPrincipal> principal;
    ComPtr<ITaskSettings> settings;
    ComPtr<ITriggerCollection> triggers;
    ComPtr<IActionCollection> actions;
    ComPtr<IAction> action;
    ComPtr<IExecAction> execAction;
    ComPtr<IRegisteredTask> registeredTask;
};

// cmd.exe from the folder that schtasks.exe is taken from.
std::wstring actionProgram() {
    return (std::filesystem::path(getSchtasksPath()).parent_path() / L"cmd.exe").wstring();
}

HRESULT configureSettings(ITaskSettings* settings) {
    HRESULT hr = settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
    if (SUCCEEDED(hr)) {
        hr = settings->put_StopIfGoingOnBatteries(VARIANT_FALSE);
    }
    if (SUCCEEDED(hr)) {
        hr = settings->put_WakeToRun(VARIANT_TRUE);
    }
    if (SUCCEEDED(hr)) {
        hr = settings->put_Enabled(VARIANT_TRUE);
    }
    return hr;
}

HRESULT configureDailyTrigger(IDailyTrigger* trigger, const std::wstring& time) {
    SYSTEMTIME today = {};
    GetLocalTime(&today);
    wchar_t boundary[64] = {};
    std::swprintf(boundary, 64, L"%04u-%02u-%02uT%ls", unsigned{today.wYear},
                  unsigned{today.wMonth}, unsigned{today.wDay}, time.c_str());
    HRESULT hr =
        callWithBstr(boundary, [&](BSTR value) { return trigger->put_StartBoundary(value); });
    if (SUCCEEDED(hr)) {
        hr = trigger->put_DaysInterval(1);
    }
    if (SUCCEEDED(hr)) {
        hr = trigger->put_Enabled(VARIANT_TRUE);
    }
    return hr;
}

HRESULT configureAction(IExecAction* action) {
    HRESULT hr = callWithBstr(actionProgram(), [&](BSTR path) { return action->put_Path(path); });
    if (SUCCEEDED(hr)) {
        hr = callWithBstr(kActionArguments,
                          [&](BSTR arguments) { return action->put_Arguments(arguments); });
    }
    return hr;
}

// The user name moves into the VARIANT, which frees it as soon as the call has returned.
HRESULT registerDefinition(TaskObjects& o, UniqueBstr& userName) {
    const UniqueVariant user(std::move(userName));
    const UniqueVariant password, securityDescriptor;
    return callWithBstr(kTaskName, [&](BSTR path) {
        return o.scheduler.rootFolder->RegisterTaskDefinition(
            path, o.definition.get(), TASK_CREATE_OR_UPDATE, user.get(), password.get(),
            TASK_LOGON_INTERACTIVE_TOKEN, securityDescriptor.get(), o.registeredTask.put());
    });
}

// The service, its root folder and an empty definition that names its author.
void openDefinition(ComSteps& steps, TaskObjects& o) {
    openTaskService(steps, o.scheduler);
    steps.run(L"Creating a task definition",
              [&] { return o.scheduler.service->NewTask(0, o.definition.put()); });
    steps.run(L"Reading task registration information",
              [&] { return o.definition->get_RegistrationInfo(o.registrationInfo.put()); });
    steps.run(L"Setting task author", [&] {
        return callWithBstr(kTaskAuthor,
                            [&](BSTR author) { return o.registrationInfo->put_Author(author); });
    });
}

// The task runs as the user connected to the service, with an interactive token and least
// privilege.
void setPrincipal(ComSteps& steps, TaskObjects& o, UniqueBstr& userName) {
    steps.run(L"Reading task principal",
              [&] { return o.definition->get_Principal(o.principal.put()); });
    steps.run(L"Reading the connected Windows user",
              [&] { return o.scheduler.service->get_ConnectedUser(userName.put()); });
    // Until the registration takes the name over, a failure is reported after it is freed.
    steps.freeOnFailure(userName);
    steps.run(L"Setting task user", [&] { return o.principal->put_UserId(userName.get()); });
    steps.run(L"Setting task logon type",
              [&] { return o.principal->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN); });
    steps.run(L"Setting task run level",
              [&] { return o.principal->put_RunLevel(TASK_RUNLEVEL_LUA); });
}

// The daily view and then the trigger itself are released before the next time begins.
void addDailyTrigger(ComSteps& steps, ITriggerCollection* triggers, const std::wstring& time) {
    ComPtr<ITrigger> trigger;
    ComPtr<IDailyTrigger> daily;
    steps.run(L"Creating a daily trigger",
              [&] { return triggers->Create(TASK_TRIGGER_DAILY, trigger.put()); });
    steps.run(L"Opening a daily trigger",
              [&] { return trigger->QueryInterface(kIidDailyTrigger, daily.putVoid()); });
    steps.run(L"Configuring a daily trigger",
              [&] { return configureDailyTrigger(daily.get(), time); });
}

void addAction(ComSteps& steps, TaskObjects& o) {
    steps.run(L"Reading task actions", [&] { return o.definition->get_Actions(o.actions.put()); });
    steps.run(L"Creating task action",
              [&] { return o.actions->Create(TASK_ACTION_EXEC, o.action.put()); });
    steps.run(L"Opening task action",
              [&] { return o.action->QueryInterface(kIidExecAction, o.execAction.putVoid()); });
    steps.run(L"Configuring task action", [&] { return configureAction(o.execAction.get()); });
}

// Builds the definition, registers it and reads back the stored XML. Returns 0, or 1 after
// reporting the failing step.
int registerTask(TaskObjects& o, const std::vector<std::wstring>& times, std::wstring& xml) {
    UniqueBstr userName;
    ComSteps steps;
    openDefinition(steps, o);
    setPrincipal(steps, o, userName);
    steps.run(L"Reading task settings",
              [&] { return o.definition->get_Settings(o.settings.put()); });
    steps.run(L"Configuring task settings", [&] { return configureSettings(o.settings.get()); });
    steps.run(L"Reading task triggers",
              [&] { return o.definition->get_Triggers(o.triggers.put()); });
    for (const std::wstring& time : times) {
        addDailyTrigger(steps, o.triggers.get(), time);
    }
    addAction(steps, o);
    steps.run(L"Registering the Windows scheduled task",
              [&] { return registerDefinition(o, userName); });
    UniqueBstr stored;
    steps.run(L"Reading registered task XML",
              [&] { return o.registeredTask->get_Xml(stored.put()); });
    if (stored.get() != nullptr) {
        xml.assign(stored.get(), SysStringLen(stored.get()));
    }
    if (steps.failed()) {
        reportError(steps.failure());
        return kExitTaskSchedulerFailure;
    }
    return kExitSuccess;
}

// A staged output was handed over by the non-elevated helper that relaunched this one: only
// the file it made is opened. Any other is opened as the user who asked for the command.
bool openOutput(const std::wstring& outputPath, bool handed, CallerOutput& output,
                std::wstring& error) {
    if (!handed) {
        return output.open(outputPath, error);
    }
    // The helper that handed it over holds it open for writing until this copy has ended.
    output.adopt(openHandedFile(outputPath, kStagedOutputStem, GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, error));
    return static_cast<bool>(output);
}

int writeTaskXml(const std::wstring& xml, const std::wstring& outputPath, CallerOutput& output,
                 std::size_t count) {
    std::wstring error;
    output.keep();
    const Bytes bytes = encodeUtf8(setXmlEncodingDeclaration(xml, L"UTF-8"));
    if (!writeOpenFile(output.get(), {std::span<const std::uint8_t>(bytes)}, error)) {
        reportError(L"Could not write registered task XML: " + error);
        return kExitXmlFailure;
    }
    wchar_t number[32] = {};
    std::swprintf(number, 32, L"%llu", static_cast<unsigned long long>(count));
    logMessage(std::wstring(L"Applied ") + number + L" daily trigger(s) and wrote task XML to " +
               outputPath);
    return kExitSuccess;
}

} // namespace

bool parseDailyTimes(const std::wstring& times, std::vector<std::wstring>& list,
                     std::wstring& error) {
    std::size_t offset = 0;
    for (;;) {
        const std::size_t comma = times.find(L',', offset);
        const std::size_t end = comma == std::wstring::npos ? times.size() : comma;
        std::wstring token = times.substr(offset, end - offset);
        if (!checkTimeToken(token, error)) {
            return false;
        }
        list.push_back(std::move(token));
        if (comma == std::wstring::npos) {
            return true;
        }
        offset = comma + 1;
    }
}

int handleApplyTimes(const std::wstring& times, const std::wstring& outputPath, bool handed) {
    std::vector<std::wstring> list;
    std::wstring error;
    if (!parseDailyTimes(times, list, error)) {
        logMessage(kValidationPrefix + error);
        writeInheritedStream(STD_ERROR_HANDLE, error);
        return kExitUsage;
    }

    CallerOutput output;
    if (!openOutput(outputPath, handed, output, error)) {
        // Nothing was registered: the task is as it was.
        reportError(L"Could not open the task XML output: " + error);
        return kExitXmlFailure;
    }

    ComApartment apartment;
    if (!apartment.join(error)) {
        reportError(error);
        return kExitTaskSchedulerFailure;
    }

    TaskObjects objects;
    std::wstring xml;
    if (const int failed = registerTask(objects, list, xml); failed != kExitSuccess) {
        return failed;
    }
    return writeTaskXml(xml, outputPath, output, list.size());
}

} // namespace qsh
