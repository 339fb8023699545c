// In-process stand-in for the Task Scheduler 2.0 service: the service, folder, definition,
// principal, settings, daily trigger and exec action methods that a client calls to build
// and register one task, stored as Task Scheduler XML in a folder of files, and those that read
// a stored task's principal back. Any other method is recorded as unexpected (com_object.h).

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../../support/encoding.h"
#include "com_object.h"
#include "stored_task.h"

namespace standin {
namespace {

struct RegistrationInfo : Object {
    using Vtbl = IRegistrationInfoVtbl;
    static constexpr Kind kKind = {L"IRegistrationInfo", &IID_IRegistrationInfo,
                                   L"=Description =Author =Version =Date =Documentation "
                                   L"=XmlText =URI =SecurityDescriptor =Source"};
    static void fill(Vtbl& v) {
        v.put_Author = &put<QSH_SLOT(put_Author), &RegistrationInfo::author>;
    }
    std::wstring author;
};

struct Principal : Object {
    using Vtbl = IPrincipalVtbl;
    static constexpr Kind kKind = {L"IPrincipal", &IID_IPrincipal,
                                   L"=Id =DisplayName =UserId =LogonType =GroupId =RunLevel"};
    static void fill(Vtbl& v) {
        v.put_UserId = &put<QSH_SLOT(put_UserId), &Principal::userId>;
        v.put_LogonType = &put<QSH_SLOT(put_LogonType), &Principal::logonType>;
        v.put_RunLevel = &put<QSH_SLOT(put_RunLevel), &Principal::runLevel>;
        v.get_UserId = &get<QSH_SLOT(get_UserId), &Principal::userId>;
        v.get_GroupId = &get<QSH_SLOT(get_GroupId), &Principal::groupId>;
        v.get_LogonType = &get<QSH_SLOT(get_LogonType), &Principal::logonType>;
        v.get_RunLevel = &get<QSH_SLOT(get_RunLevel), &Principal::runLevel>;
    }
    std::wstring userId;
    std::wstring groupId;
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE; // the stored one is the registration's
    TASK_RUNLEVEL_TYPE runLevel = TASK_RUNLEVEL_LUA;
};

struct Settings : Object {
    using Vtbl = ITaskSettingsVtbl;
    static constexpr Kind kKind = {
        L"ITaskSettings", &IID_ITaskSettings,
        L"=AllowDemandStart =RestartInterval =RestartCount =MultipleInstances "
        L"=StopIfGoingOnBatteries =DisallowStartIfOnBatteries =AllowHardTerminate "
        L"=StartWhenAvailable =XmlText =RunOnlyIfNetworkAvailable =ExecutionTimeLimit =Enabled "
        L"=DeleteExpiredTaskAfter =Priority =Compatibility =Hidden =IdleSettings =RunOnlyIfIdle "
        L"=WakeToRun =NetworkSettings"};
    static void fill(Vtbl& v) {
        v.put_DisallowStartIfOnBatteries =
            &put<QSH_SLOT(put_DisallowStartIfOnBatteries), &Settings::disallowStartIfOnBatteries>;
        v.put_StopIfGoingOnBatteries =
            &put<QSH_SLOT(put_StopIfGoingOnBatteries), &Settings::stopIfGoingOnBatteries>;
        v.put_WakeToRun = &put<QSH_SLOT(put_WakeToRun), &Settings::wakeToRun>;
        v.put_Enabled = &put<QSH_SLOT(put_Enabled), &Settings::enabled>;
    }
    // The service's defaults for a new definition.
    bool disallowStartIfOnBatteries = true;
    bool stopIfGoingOnBatteries = true;
    bool wakeToRun = false;
    bool enabled = true;
};

// Asked for through ITrigger, used through IDailyTrigger.
struct DailyTrigger : Object {
    using Vtbl = IDailyTriggerVtbl;
    static constexpr Kind kKind = {L"IDailyTrigger", &IID_IDailyTrigger,
                                   L"get_Type =Id =Repetition =ExecutionTimeLimit =StartBoundary "
                                   L"=EndBoundary =Enabled =DaysInterval =RandomDelay",
                                   L"ITrigger", &IID_ITrigger};
    static void fill(Vtbl& v) {
        v.put_StartBoundary = &put<QSH_SLOT(put_StartBoundary), &DailyTrigger::startBoundary>;
        v.put_DaysInterval = &put<QSH_SLOT(put_DaysInterval), &DailyTrigger::daysInterval>;
        v.put_Enabled = &put<QSH_SLOT(put_Enabled), &DailyTrigger::enabled>;
    }
    std::wstring startBoundary;
    short daysInterval = 1;
    bool enabled = true;
};

// Asked for through IAction, used through IExecAction.
struct ExecAction : Object {
    using Vtbl = IExecActionVtbl;
    static constexpr Kind kKind = {L"IExecAction", &IID_IExecAction,
                                   L"=Id get_Type =Path =Arguments =WorkingDirectory", L"IAction",
                                   &IID_IAction};
    static void fill(Vtbl& v) {
        v.put_Path = &put<QSH_SLOT(put_Path), &ExecAction::path>;
        v.put_Arguments = &put<QSH_SLOT(put_Arguments), &ExecAction::arguments>;
    }
    std::wstring path;
    std::wstring arguments;
};

constexpr Kind kTriggerCollection = {L"ITriggerCollection", &IID_ITriggerCollection,
                                     L"get_Count get_Item get__NewEnum Create Remove Clear"};
constexpr Kind kActionCollection = {
    L"IActionCollection", &IID_IActionCollection,
    L"get_Count get_Item get__NewEnum =XmlText Create Remove Clear =Context"};

// Makes items of the one type the helper asks for, kept in order for the stored document.
template <class Interface, const Kind& collectionKind, class Item, auto kItemType>
struct Collection : Object {
    using Vtbl = std::remove_pointer_t<decltype(Interface::lpVtbl)>;
    static constexpr const Kind& kKind = collectionKind;
    static void fill(Vtbl& v) { v.Create = &create; }

    template <class Type, class Out>
    static HRESULT STDMETHODCALLTYPE create(Interface* pointer, Type type, Out** out) {
        auto& self = as<Collection>(pointer);
        if (HRESULT hr = enterOut(self, QSH_SLOT(Create), out, std::to_wstring(type)); FAILED(hr)) {
            return hr;
        }
        if (type != kItemType) {
            return E_NOTIMPL;
        }
        self.items.push_back(make<Item>());
        return handOut(self.items.back(), out);
    }
    std::vector<Item*> items;
};
using TriggerCollection =
    Collection<ITriggerCollection, kTriggerCollection, DailyTrigger, TASK_TRIGGER_DAILY>;
using ActionCollection =
    Collection<IActionCollection, kActionCollection, ExecAction, TASK_ACTION_EXEC>;

// A getter of one of the definition's parts.
template <std::size_t Slot, auto Part, class Interface, class Out>
HRESULT STDMETHODCALLTYPE give(Interface* pointer, Out** out) {
    auto& self = as<decltype(classOf(Part))>(pointer);
    const HRESULT hr = enterOut(self, Slot, out);
    return FAILED(hr) ? hr : handOut(self.*Part, out);
}

struct Definition : Object {
    using Vtbl = ITaskDefinitionVtbl;
    static constexpr Kind kKind = {
        L"ITaskDefinition", &IID_ITaskDefinition,
        L"=RegistrationInfo =Triggers =Settings =Data =Principal =Actions =XmlText"};
    static void fill(Vtbl& v) {
        v.get_RegistrationInfo =
            &give<QSH_SLOT(get_RegistrationInfo), &Definition::registrationInfo>;
        v.get_Principal = &give<QSH_SLOT(get_Principal), &Definition::principal>;
        v.get_Settings = &give<QSH_SLOT(get_Settings), &Definition::settings>;
        v.get_Triggers = &give<QSH_SLOT(get_Triggers), &Definition::triggers>;
        v.get_Actions = &give<QSH_SLOT(get_Actions), &Definition::actions>;
    }
    RegistrationInfo* registrationInfo = make<RegistrationInfo>();
    Principal* principal = make<Principal>();
    Settings* settings = make<Settings>();
    TriggerCollection* triggers = make<TriggerCollection>();
    ActionCollection* actions = make<ActionCollection>();
};

// The user this process runs as: the one who connects, and who registers a task that names none.
std::optional<std::wstring> currentUserName() {
    wchar_t name[257] = {};
    DWORD size = 257;
    return GetUserNameW(name, &size) ? std::optional<std::wstring>(name) : std::nullopt;
}

// QSH_STANDIN_TS_NULL_USER: the connected user and a principal's UserId are null BSTRs.
bool nullUserAsked() {
    return environmentValue(L"QSH_STANDIN_TS_NULL_USER") == L"1";
}

struct RegisteredTask : Object {
    using Vtbl = IRegisteredTaskVtbl;
    static constexpr Kind kKind = {
        L"IRegisteredTask", &IID_IRegisteredTask,
        L"get_Name get_Path get_State =Enabled Run RunEx GetInstances get_LastRunTime "
        L"get_LastTaskResult get_NumberOfMissedRuns get_NextRunTime get_Definition get_Xml "
        L"GetSecurityDescriptor SetSecurityDescriptor Stop GetRunTimes"};
    static void fill(Vtbl& v) {
        v.get_Definition = &getDefinition;
        v.get_Xml = &getXml;
    }

    // A fresh definition of the stored document, of which only the principal is filled in.
    static HRESULT STDMETHODCALLTYPE getDefinition(IRegisteredTask* pointer,
                                                   ITaskDefinition** definition) {
        auto& self = as<RegisteredTask>(pointer);
        if (HRESULT hr = enterOut(self, QSH_SLOT(get_Definition), definition); FAILED(hr)) {
            return hr;
        }
        const StoredPrincipal stored = storedPrincipal(self.xml, currentUserName().value_or(L""));
        auto* made = make<Definition>();
        made->principal->userId = nullUserAsked() ? L"" : stored.userId;
        made->principal->groupId = stored.groupId;
        made->principal->logonType = stored.logonType;
        made->principal->runLevel = stored.runLevel;
        return handOut(made, definition);
    }

    static HRESULT STDMETHODCALLTYPE getXml(IRegisteredTask* pointer, BSTR* xml) {
        auto& self = as<RegisteredTask>(pointer);
        if (HRESULT hr = enterOut(self, QSH_SLOT(get_Xml), xml); FAILED(hr)) {
            return hr;
        }
        *xml = handOutBstr(self.xml, L"registered task XML");
        return *xml != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    std::wstring xml;
};

// The document the service stores and hands back: what the definition was given, in the
// service's element order, one line per part.
std::wstring taskXml(const Definition& definition, TASK_LOGON_TYPE logonType) {
    // `body` is markup already; a value goes through text().
    auto element = [](const std::wstring& tag, const std::wstring& body) {
        return L"<" + tag + L">" + body + L"</" + tag + L">";
    };
    auto text = [](const std::wstring& value) { return qsh::testing::xmlEscaped(value, true); };
    auto flag = [](bool value) { return value ? L"true" : L"false"; };
    std::wstring triggers;
    for (const DailyTrigger* trigger : definition.triggers->items) {
        triggers +=
            element(L"CalendarTrigger",
                    element(L"StartBoundary", text(trigger->startBoundary)) +
                        element(L"Enabled", flag(trigger->enabled)) +
                        element(L"ScheduleByDay",
                                element(L"DaysInterval", std::to_wstring(trigger->daysInterval))));
    }
    // The stored user is the one the definition was given through put_UserId; the
    // registration's own user is in its ledger line, so a test sees each on its own.
    const Principal& principal = *definition.principal;
    const std::wstring principalXml =
        (principal.userId.empty() ? L"" : element(L"UserId", text(principal.userId))) +
        element(L"LogonType", logonType == TASK_LOGON_INTERACTIVE_TOKEN
                                  ? L"InteractiveToken"
                                  : std::to_wstring(logonType)) +
        element(L"RunLevel", principal.runLevel == TASK_RUNLEVEL_HIGHEST ? L"HighestAvailable"
                                                                         : L"LeastPrivilege");
    const Settings& settings = *definition.settings;
    const std::wstring settingsXml =
        element(L"DisallowStartIfOnBatteries", flag(settings.disallowStartIfOnBatteries)) +
        element(L"StopIfGoingOnBatteries", flag(settings.stopIfGoingOnBatteries)) +
        element(L"Enabled", flag(settings.enabled)) +
        element(L"WakeToRun", flag(settings.wakeToRun));
    std::wstring actions;
    for (const ExecAction* action : definition.actions->items) {
        actions += element(L"Exec", element(L"Command", text(action->path)) +
                                        element(L"Arguments", text(action->arguments)));
    }
    const std::wstring lines[] = {
        L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
        L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">",
        element(L"RegistrationInfo", element(L"Author", text(definition.registrationInfo->author))),
        element(L"Triggers", triggers),
        element(L"Principals", L"<Principal id=\"Author\">" + principalXml + L"</Principal>"),
        element(L"Settings", settingsXml),
        L"<Actions Context=\"Author\">" + actions + L"</Actions>",
        L"</Task>"};
    std::wstring xml;
    for (const std::wstring& line : lines) {
        xml += line + L"\r\n";
    }
    return xml;
}

// Stores the task under its name, as UTF-16 LE with a byte order mark like every task in the
// store, replacing any older one.
HRESULT store(const std::wstring& name, const std::wstring& xml) {
    const std::wstring folder = storeFolder();
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring content = L"\xFEFF" + xml;
    const auto size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
    return writeNewFile(folder + L"\\" + name, content.data(), size);
}

struct Folder : Object {
    using Vtbl = ITaskFolderVtbl;
    static constexpr Kind kKind = {
        L"ITaskFolder", &IID_ITaskFolder,
        L"get_Name get_Path GetFolder GetFolders CreateFolder DeleteFolder GetTask GetTasks "
        L"DeleteTask RegisterTask RegisterTaskDefinition GetSecurityDescriptor "
        L"SetSecurityDescriptor"};
    static void fill(Vtbl& v) {
        v.GetTask = &getTask;
        v.RegisterTaskDefinition = &registerTaskDefinition;
    }

    // The task stored under its name, a leading backslash allowed.
    static HRESULT STDMETHODCALLTYPE getTask(ITaskFolder* pointer, BSTR path,
                                             IRegisteredTask** task) {
        if (HRESULT hr = enterOut(as<Folder>(pointer), QSH_SLOT(GetTask), task, textOf(path), path);
            FAILED(hr)) {
            return hr;
        }
        std::wstring name = textOf(path);
        name.erase(0, name.starts_with(L'\\') ? 1 : 0);
        std::optional<std::wstring> xml = readStoredTask(name);
        if (!xml) {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        auto* registered = make<RegisteredTask>();
        registered->xml = std::move(*xml);
        return handOut(registered, task);
    }

    static HRESULT STDMETHODCALLTYPE registerTaskDefinition(ITaskFolder* pointer, BSTR path,
                                                            ITaskDefinition* definition, LONG flags,
                                                            VARIANT user, VARIANT password,
                                                            TASK_LOGON_TYPE logonType, VARIANT sddl,
                                                            IRegisteredTask** task) {
        const std::wstring detail = L"path=" + textOf(path) + L" flags=" + std::to_wstring(flags) +
                                    L" user=" + describeVariant(user) + L" password=" +
                                    describeVariant(password) + L" logon=" +
                                    std::to_wstring(logonType) + L" sddl=" + describeVariant(sddl);
        if (HRESULT hr =
                enterOut(as<Folder>(pointer), QSH_SLOT(RegisterTaskDefinition), task, detail, path);
            FAILED(hr)) {
            return hr;
        }
        // Only a definition that this service made can be read.
        if (definition == nullptr || definition->lpVtbl != &vtableOf<Definition>()) {
            return E_INVALIDARG;
        }
        auto* registered = make<RegisteredTask>();
        registered->xml = taskXml(as<Definition>(definition), logonType);
        const HRESULT hr = store(textOf(path), registered->xml);
        return FAILED(hr) ? hr : handOut(registered, task);
    }
};

struct Service : Object {
    using Vtbl = ITaskServiceVtbl;
    static constexpr Kind kKind = {
        L"ITaskService", &IID_ITaskService,
        L"GetFolder GetRunningTasks NewTask Connect get_Connected get_TargetServer "
        L"get_ConnectedUser get_ConnectedDomain get_HighestVersion"};
    static void fill(Vtbl& v) {
        v.Connect = &connect;
        v.GetFolder = &getFolder;
        v.NewTask = &newTask;
        v.get_ConnectedUser = &connectedUser;
    }

    // The local computer as the current user; the ledger line shows what was asked for.
    static HRESULT STDMETHODCALLTYPE connect(ITaskService* pointer, VARIANT server, VARIANT user,
                                             VARIANT domain, VARIANT password) {
        return enter(as<Service>(pointer), QSH_SLOT(Connect),
                     describeVariant(server) + L" " + describeVariant(user) + L" " +
                         describeVariant(domain) + L" " + describeVariant(password));
    }

    static HRESULT STDMETHODCALLTYPE getFolder(ITaskService* pointer, BSTR path,
                                               ITaskFolder** folder) {
        const HRESULT hr =
            enterOut(as<Service>(pointer), QSH_SLOT(GetFolder), folder, textOf(path), path);
        if (FAILED(hr)) {
            return hr;
        }
        return textOf(path) == L"\\" ? handOut(make<Folder>(), folder)
                                     : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    static HRESULT STDMETHODCALLTYPE newTask(ITaskService* pointer, DWORD flags,
                                             ITaskDefinition** definition) {
        const HRESULT hr =
            enterOut(as<Service>(pointer), QSH_SLOT(NewTask), definition, std::to_wstring(flags));
        if (FAILED(hr)) {
            return hr;
        }
        return flags == 0 ? handOut(make<Definition>(), definition) : E_INVALIDARG;
    }

    static HRESULT STDMETHODCALLTYPE connectedUser(ITaskService* pointer, BSTR* user) {
        if (HRESULT hr = enterOut(as<Service>(pointer), QSH_SLOT(get_ConnectedUser), user);
            FAILED(hr) || nullUserAsked()) {
            return hr;
        }
        const std::optional<std::wstring> name = currentUserName();
        if (!name) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        *user = handOutBstr(*name, L"connected user");
        return *user != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

// The class factory is static: COM's references to it need no counting.
HRESULT STDMETHODCALLTYPE factoryQuery(IClassFactory* factory, REFIID iid, void** out) {
    const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory);
    *out = known ? factory : nullptr;
    return known ? S_OK : E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE factoryReference(IClassFactory*) {
    return 1;
}
HRESULT STDMETHODCALLTYPE createInstance(IClassFactory*, IUnknown* outer, REFIID iid, void** out) {
    *out = nullptr;
    if (HRESULT hr = enterCall(0, L"CoCreateInstance", guidText(iid)); FAILED(hr)) {
        return hr;
    }
    return outer != nullptr ? CLASS_E_NOAGGREGATION : answer(*make<Service>(), iid, out);
}
HRESULT STDMETHODCALLTYPE lockServer(IClassFactory*, BOOL) {
    return S_OK;
}

IClassFactoryVtbl factoryVtbl = {&factoryQuery, &factoryReference, &factoryReference,
                                 &createInstance, &lockServer};
IClassFactory factory = {&factoryVtbl};

} // namespace
} // namespace standin

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!IsEqualCLSID(clsid, CLSID_TaskScheduler)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    standin::startLedger();
    return standin::factoryQuery(&standin::factory, iid, out);
}

// The helper's BSTR imports point into this DLL from the first request on, so it must
// stay loaded until the process ends.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return S_FALSE;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) {
        standin::finishLedger();
    }
    return TRUE;
}
