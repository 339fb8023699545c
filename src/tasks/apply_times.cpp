#include "tasks/apply_times.h"

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <cstdio>
#include <filesystem>

#include "diag/constants.h"
#include "diag/streams.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/own_files.h"
#include "process/runner.h"
#include "diag/com_ptr.h"
#include "text/task_xml.h"
#include "text/utf8.h"

namespace qsh {
namespace {

// Defined here so that no toolchain import library is needed for them.
constexpr CLSID kClsidTaskScheduler = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID kIidTaskService = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
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

int reportStepFailure(const wchar_t* phrase, HRESULT hr) {
    reportError(std::wstring(phrase) + L" failed: " + formatHresult(hr));
    return 1;
}

// The BSTR a call takes lives exactly as long as the call.
template <class Call> HRESULT callWithBstr(const std::wstring& text, Call call) {
    UniqueBstr value(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (value.get() == nullptr && !text.empty()) {
        return E_OUTOFMEMORY;
    }
    return call(value.get());
}

// Leaves the multithreaded apartment when the command is done.
class ComApartment {
  public:
    ComApartment() = default;
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() { CoUninitialize(); }
};

// Members in order of acquisition: destruction releases them in reverse.
struct TaskObjects {
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> rootFolder;
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

// Builds the definition, registers it and reads back the stored XML. Returns 0, or 1
// after reporting the failing step.
int registerTask(TaskObjects& o, const std::vector<std::wstring>& times, std::wstring& xml) {
    HRESULT hr = CoCreateInstance(kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                  kIidTaskService, o.service.putVoid());
    if (FAILED(hr)) {
        return reportStepFailure(L"Creating Task Scheduler service", hr);
    }
    VARIANT server, user, domain, password;
    VariantInit(&server);
    VariantInit(&user);
    VariantInit(&domain);
    VariantInit(&password);
    hr = o.service->Connect(server, user, domain, password);
    if (FAILED(hr)) {
        return reportStepFailure(L"Connecting to Task Scheduler", hr);
    }
    hr = callWithBstr(L"\\",
                      [&](BSTR path) { return o.service->GetFolder(path, o.rootFolder.put()); });
    if (FAILED(hr)) {
        return reportStepFailure(L"Opening the Task Scheduler root folder", hr);
    }
    hr = o.service->NewTask(0, o.definition.put());
    if (FAILED(hr)) {
        return reportStepFailure(L"Creating a task definition", hr);
    }
    hr = o.definition->get_RegistrationInfo(o.registrationInfo.put());
    if (FAILED(hr)) {
        return reportStepFailure(L"Reading task registration information", hr);
    }
    hr = callWithBstr(kTaskAuthor,
                      [&](BSTR author) { return o.registrationInfo->put_Author(author); });
    if (FAILED(hr)) {
        return reportStepFailure(L"Setting task author", hr);
    }
    hr = o.definition->get_Principal(o.principal.put());
    if (FAILED(hr)) {
        return reportStepFailure(L"Reading task principal", hr);
    }
    UniqueBstr userName;
    hr = o.service->get_ConnectedUser(userName.put());
    if (FAILED(hr)) {
        return reportStepFailure(L"Reading the connected Windows user", hr);
    }
    // Until registration takes it, the user name is freed before any failure is reported.
    auto fail = [&userName](const wchar_t* phrase, HRESULT failure) {
        userName.reset();
        return reportStepFailure(phrase, failure);
    };

    hr = o.principal->put_UserId(userName.get());
    if (FAILED(hr)) {
        return fail(L"Setting task user", hr);
    }
    hr = o.principal->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN);
    if (FAILED(hr)) {
        return fail(L"Setting task logon type", hr);
    }
    hr = o.principal->put_RunLevel(TASK_RUNLEVEL_LUA);
    if (FAILED(hr)) {
        return fail(L"Setting task run level", hr);
    }
    hr = o.definition->get_Settings(o.settings.put());
    if (FAILED(hr)) {
        return fail(L"Reading task settings", hr);
    }
    hr = configureSettings(o.settings.get());
    if (FAILED(hr)) {
        return fail(L"Configuring task settings", hr);
    }
    hr = o.definition->get_Triggers(o.triggers.put());
    if (FAILED(hr)) {
        return fail(L"Reading task triggers", hr);
    }
    for (const std::wstring& time : times) {
        // Declared in this order so that the daily view goes before the trigger itself.
        ComPtr<ITrigger> trigger;
        ComPtr<IDailyTrigger> daily;
        hr = o.triggers->Create(TASK_TRIGGER_DAILY, trigger.put());
        if (FAILED(hr)) {
            return fail(L"Creating a daily trigger", hr);
        }
        hr = trigger->QueryInterface(kIidDailyTrigger, daily.putVoid());
        if (FAILED(hr)) {
            return fail(L"Opening a daily trigger", hr);
        }
        hr = configureDailyTrigger(daily.get(), time);
        if (FAILED(hr)) {
            return fail(L"Configuring a daily trigger", hr);
        }
    }
    hr = o.definition->get_Actions(o.actions.put());
    if (FAILED(hr)) {
        return fail(L"Reading task actions", hr);
    }
    hr = o.actions->Create(TASK_ACTION_EXEC, o.action.put());
    if (FAILED(hr)) {
        return fail(L"Creating task action", hr);
    }
    hr = o.action->QueryInterface(kIidExecAction, o.execAction.putVoid());
    if (FAILED(hr)) {
        return fail(L"Opening task action", hr);
    }
    hr = configureAction(o.execAction.get());
    if (FAILED(hr)) {
        return fail(L"Configuring task action", hr);
    }

    VARIANT taskUser, taskPassword, securityDescriptor;
    VariantInit(&taskUser);
    VariantInit(&taskPassword);
    VariantInit(&securityDescriptor);
    V_VT(&taskUser) = VT_BSTR;
    V_BSTR(&taskUser) = userName.release();
    hr = callWithBstr(kTaskName, [&](BSTR path) {
        return o.rootFolder->RegisterTaskDefinition(
            path, o.definition.get(), TASK_CREATE_OR_UPDATE, taskUser, taskPassword,
            TASK_LOGON_INTERACTIVE_TOKEN, securityDescriptor, o.registeredTask.put());
    });
    VariantClear(&taskUser);
    if (FAILED(hr)) {
        return reportStepFailure(L"Registering the Windows scheduled task", hr);
    }

    UniqueBstr stored;
    hr = o.registeredTask->get_Xml(stored.put());
    if (FAILED(hr)) {
        return reportStepFailure(L"Reading registered task XML", hr);
    }
    if (stored.get() != nullptr) {
        xml.assign(stored.get(), SysStringLen(stored.get()));
    }
    return 0;
}

// A staged output was handed over by a non-elevated helper; it is written only if it is still
// the file that helper made.
bool writeOutput(const std::wstring& outputPath, bool staged, const Bytes& bytes,
                 std::wstring& error) {
    if (!staged) {
        return writeFileBytes(outputPath, bytes, error);
    }
    // The helper that handed it over holds it open for writing until this copy has ended.
    const UniqueHandle file =
        openHandedFile(outputPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, error);
    return file && writeOpenFile(file.get(), {std::span<const std::uint8_t>(bytes)}, error);
}

int writeTaskXml(const std::wstring& xml, const std::wstring& outputPath, bool staged,
                 std::size_t count) {
    std::wstring error;
    if (!writeOutput(outputPath, staged, encodeUtf8(setXmlEncodingDeclaration(xml, L"UTF-8")),
                     error)) {
        reportError(L"Could not write registered task XML: " + error);
        return 4;
    }
    wchar_t number[32] = {};
    std::swprintf(number, 32, L"%llu", static_cast<unsigned long long>(count));
    logMessage(std::wstring(L"Applied ") + number + L" daily trigger(s) and wrote task XML to " +
               outputPath);
    return 0;
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

int handleApplyTimes(const std::wstring& times, const std::wstring& outputPath, bool stagedOutput) {
    std::vector<std::wstring> list;
    std::wstring error;
    if (!parseDailyTimes(times, list, error)) {
        logMessage(kValidationPrefix + error);
        writeInheritedStream(STD_ERROR_HANDLE, error);
        return 2;
    }

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        reportError(L"Could not initialize COM: " + formatHresult(hr));
        return 1;
    }
    const ComApartment apartment;
    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    // RPC_E_TOO_LATE: the process already chose its security; that one serves as well.
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
        reportError(L"Could not initialize COM security: " + formatHresult(hr));
        return 1;
    }

    TaskObjects objects;
    std::wstring xml;
    if (const int failed = registerTask(objects, list, xml); failed != 0) {
        return failed;
    }
    return writeTaskXml(xml, outputPath, stagedOutput, list.size());
}

} // namespace qsh
