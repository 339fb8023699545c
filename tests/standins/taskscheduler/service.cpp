// In-process stand-in for the Task Scheduler 2.0 service: enough of the service, folder,
// definition, principal, settings, daily trigger and exec action objects for a client that
// builds and registers one task, storing it as Task Scheduler XML in a folder of files.

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <cwchar>
#include <initializer_list>
#include <string>
#include <vector>

#include "../../support/encoding.h"
#include "ledger.h"
#include "stubs.h"

namespace standin {
namespace {

const CLSID kClsidTaskScheduler = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};

std::wstring guidText(REFIID iid) {
    wchar_t text[40] = {};
    StringFromGUID2(iid, text, 40);
    return text;
}

// Bookkeeping shared by every object: the ledger id, and IUnknown over one chain of
// interfaces. Objects live until the process ends, so a call through a released
// pointer is reported instead of crashing.
template <class Stub> class Object : public Stub {
  public:
    Object(const wchar_t* kind, const wchar_t* interfaceName, std::initializer_list<IID> iids)
        : interfaceName_(interfaceName), id_(registerObject(kind)), iids_(iids) {}
    virtual ~Object() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (HRESULT hr = enter(interfaceName_ + L"::QueryInterface", guidText(iid)); FAILED(hr)) {
            if (out != nullptr) {
                *out = nullptr;
            }
            return hr;
        }
        return query(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRefObject(id_); }
    ULONG STDMETHODCALLTYPE Release() override { return releaseObject(id_); }

    // QueryInterface without a ledger line, for the class factory.
    HRESULT query(REFIID iid, void** out) {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch);
        for (const IID& candidate : iids_) {
            known = known || IsEqualIID(iid, candidate);
        }
        if (!known) {
            return E_NOINTERFACE;
        }
        *out = static_cast<Stub*>(this);
        AddRef();
        return S_OK;
    }

    template <class Interface> HRESULT handOut(Interface** out) {
        *out = this;
        AddRef();
        return S_OK;
    }

  protected:
    HRESULT enter(const std::wstring& name, const std::wstring& detail = {},
                  std::initializer_list<BSTR> bstrArgs = {}) {
        return enterCall(id_, name, detail, bstrArgs);
    }
    // Entry of a method that hands out `*out`, cleared before anything can fail.
    template <class T>
    HRESULT enterOut(const std::wstring& name, T** out, const std::wstring& detail = {},
                     std::initializer_list<BSTR> bstrArgs = {}) {
        if (HRESULT hr = enter(name, detail, bstrArgs); FAILED(hr)) {
            return hr;
        }
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        return S_OK;
    }
    // A property put: the call, then the value's check and its store.
    HRESULT put(const wchar_t* name, BSTR value, std::wstring& field, bool valid) {
        return store(enter(name, textOf(value), {value}), valid, field, textOf(value));
    }
    template <class Value, class Field>
    HRESULT put(const wchar_t* name, Value value, Field& field, bool valid) {
        return store(enter(name, std::to_wstring(value)), valid, field, value);
    }

    std::wstring interfaceName_;

  private:
    template <class Field, class Value>
    static HRESULT store(HRESULT entered, bool valid, Field& field, const Value& value) {
        if (FAILED(entered)) {
            return entered;
        }
        if (!valid) {
            return E_INVALIDARG;
        }
        field = value; // a VARIANT_BOOL is true unless VARIANT_FALSE
        return S_OK;
    }

    int id_;
    std::vector<IID> iids_;
};

// Setters of the objects below; `valid` checks `value`.
#define QSH_PUT(Interface, Property, Type, field, valid)                                           \
    HRESULT STDMETHODCALLTYPE put_##Property(Type value) override {                                \
        return put(L"" #Interface "::put_" #Property, value, field, valid);                        \
    }

class RegistrationInfo final : public Object<IRegistrationInfoStub> {
  public:
    RegistrationInfo()
        : Object(L"RegistrationInfo", L"IRegistrationInfo", {__uuidof(IRegistrationInfo)}) {}
    QSH_PUT(IRegistrationInfo, Author, BSTR, author, true)

    std::wstring author;
};

class Principal final : public Object<IPrincipalStub> {
  public:
    Principal() : Object(L"Principal", L"IPrincipal", {__uuidof(IPrincipal)}) {}
    QSH_PUT(IPrincipal, UserId, BSTR, userId, true)
    QSH_PUT(IPrincipal, LogonType, TASK_LOGON_TYPE, logonType,
            value >= TASK_LOGON_NONE && value <= TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD)
    QSH_PUT(IPrincipal, RunLevel, TASK_RUNLEVEL_TYPE, runLevel,
            value == TASK_RUNLEVEL_LUA || value == TASK_RUNLEVEL_HIGHEST)

    std::wstring userId;
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
    TASK_RUNLEVEL_TYPE runLevel = TASK_RUNLEVEL_LUA;
};

class Settings final : public Object<ITaskSettingsStub> {
  public:
    Settings() : Object(L"Settings", L"ITaskSettings", {__uuidof(ITaskSettings)}) {}
    QSH_PUT(ITaskSettings, DisallowStartIfOnBatteries, VARIANT_BOOL, disallowStartIfOnBatteries,
            true)
    QSH_PUT(ITaskSettings, StopIfGoingOnBatteries, VARIANT_BOOL, stopIfGoingOnBatteries, true)
    QSH_PUT(ITaskSettings, WakeToRun, VARIANT_BOOL, wakeToRun, true)
    QSH_PUT(ITaskSettings, Enabled, VARIANT_BOOL, enabled, true)

    // The service's defaults for a new definition.
    bool disallowStartIfOnBatteries = true;
    bool stopIfGoingOnBatteries = true;
    bool wakeToRun = false;
    bool enabled = true;
};

// Methods reached through IDailyTrigger are named after it; QueryInterface after ITrigger.
class DailyTrigger final : public Object<IDailyTriggerStub> {
  public:
    DailyTrigger()
        : Object(L"Trigger", L"ITrigger", {__uuidof(ITrigger), __uuidof(IDailyTrigger)}) {}
    QSH_PUT(IDailyTrigger, StartBoundary, BSTR, startBoundary, true)
    QSH_PUT(IDailyTrigger, DaysInterval, short, daysInterval, value > 0)
    QSH_PUT(IDailyTrigger, Enabled, VARIANT_BOOL, enabled, true)

    std::wstring startBoundary;
    short daysInterval = 1;
    bool enabled = true;
};

class ExecAction final : public Object<IExecActionStub> {
  public:
    ExecAction() : Object(L"Action", L"IAction", {__uuidof(IAction), __uuidof(IExecAction)}) {}
    QSH_PUT(IExecAction, Path, BSTR, path, true)
    QSH_PUT(IExecAction, Arguments, BSTR, arguments, true)

    std::wstring path;
    std::wstring arguments;
};

// Makes items of the one type the helper asks for, kept in order for the stored document.
template <class Stub, class Item, class Interface, auto kType>
class Collection final : public Object<Stub> {
  public:
    Collection(const wchar_t* kind, const wchar_t* interfaceName, const IID& iid)
        : Object<Stub>(kind, interfaceName, {iid}) {}

    HRESULT STDMETHODCALLTYPE Create(decltype(kType) type, Interface** out) override {
        const std::wstring name = this->interfaceName_ + L"::Create";
        if (HRESULT hr = this->enterOut(name, out, std::to_wstring(type)); FAILED(hr)) {
            return hr;
        }
        if (type != kType) {
            return E_NOTIMPL;
        }
        auto* item = new Item;
        items.push_back(item);
        return item->handOut(out);
    }

    std::vector<Item*> items;
};

using TriggerCollection =
    Collection<ITriggerCollectionStub, DailyTrigger, ITrigger, TASK_TRIGGER_DAILY>;
using ActionCollection = Collection<IActionCollectionStub, ExecAction, IAction, TASK_ACTION_EXEC>;

// Getters of the definition's parts.
#define QSH_GET(Property, Type, part)                                                              \
    HRESULT STDMETHODCALLTYPE get_##Property(Type** out) override {                                \
        return give(L"ITaskDefinition::get_" #Property, part, out);                                \
    }

class Definition final : public Object<ITaskDefinitionStub> {
  public:
    Definition() : Object(L"Definition", L"ITaskDefinition", {__uuidof(ITaskDefinition)}) {}
    QSH_GET(RegistrationInfo, IRegistrationInfo, registrationInfo)
    QSH_GET(Principal, IPrincipal, principal)
    QSH_GET(Settings, ITaskSettings, settings)
    QSH_GET(Triggers, ITriggerCollection, triggers)
    QSH_GET(Actions, IActionCollection, actions)

    RegistrationInfo* registrationInfo = new RegistrationInfo;
    Principal* principal = new Principal;
    Settings* settings = new Settings;
    TriggerCollection* triggers = new TriggerCollection(L"TriggerCollection", L"ITriggerCollection",
                                                        __uuidof(ITriggerCollection));
    ActionCollection* actions = new ActionCollection(L"ActionCollection", L"IActionCollection",
                                                     __uuidof(IActionCollection));

  private:
    template <class Part, class Interface>
    HRESULT give(const wchar_t* name, Part* part, Interface** out) {
        const HRESULT hr = enterOut(name, out);
        return FAILED(hr) ? hr : part->handOut(out);
    }
};

// Every definition made, to recognise the ones handed back to RegisterTaskDefinition.
std::vector<Definition*>& definitions() {
    static auto* list = new std::vector<Definition*>;
    return *list;
}

class RegisteredTask final : public Object<IRegisteredTaskStub> {
  public:
    explicit RegisteredTask(std::wstring xml)
        : Object(L"RegisteredTask", L"IRegisteredTask", {__uuidof(IRegisteredTask)}),
          xml_(std::move(xml)) {}

    HRESULT STDMETHODCALLTYPE get_Xml(BSTR* xml) override {
        if (HRESULT hr = enterOut(L"IRegisteredTask::get_Xml", xml); FAILED(hr)) {
            return hr;
        }
        *xml = handOutBstr(xml_, L"registered task XML");
        return *xml != nullptr ? S_OK : E_OUTOFMEMORY;
    }

  private:
    std::wstring xml_;
};

const wchar_t* trueFalse(bool value) {
    return value ? L"true" : L"false";
}

const wchar_t* logonTypeName(TASK_LOGON_TYPE type) {
    static const wchar_t* const names[] = {nullptr,
                                           L"Password",
                                           L"S4U",
                                           L"InteractiveToken",
                                           L"Group",
                                           L"ServiceAccount",
                                           L"InteractiveTokenOrPassword"};
    return type >= 0 && type < 7 ? names[type] : nullptr;
}

// The document the service stores and hands back, in its element order.
std::wstring taskXml(const Definition& definition, const std::wstring& name,
                     const std::wstring& user, TASK_LOGON_TYPE logonType) {
    std::wstring xml;
    auto line = [&xml](int depth, const std::wstring& text) {
        xml.append(static_cast<std::size_t>(depth) * 2, L' ');
        xml += text;
        xml += L"\r\n";
    };
    auto element = [&line](int depth, const std::wstring& tag, const std::wstring& value) {
        line(depth, L"<" + tag + L">" + qsh::testing::xmlEscaped(value, true) + L"</" + tag + L">");
    };

    line(0, L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>");
    line(0, L"<Task version=\"1.2\" "
            L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">");
    line(1, L"<RegistrationInfo>");
    if (!definition.registrationInfo->author.empty()) {
        element(2, L"Author", definition.registrationInfo->author);
    }
    element(2, L"URI", L"\\" + name);
    line(1, L"</RegistrationInfo>");

    if (definition.triggers->items.empty()) {
        line(1, L"<Triggers />");
    } else {
        line(1, L"<Triggers>");
        for (const DailyTrigger* trigger : definition.triggers->items) {
            line(2, L"<CalendarTrigger>");
            element(3, L"StartBoundary", trigger->startBoundary);
            element(3, L"Enabled", trueFalse(trigger->enabled));
            line(3, L"<ScheduleByDay>");
            element(4, L"DaysInterval", std::to_wstring(trigger->daysInterval));
            line(3, L"</ScheduleByDay>");
            line(2, L"</CalendarTrigger>");
        }
        line(1, L"</Triggers>");
    }

    line(1, L"<Principals>");
    line(2, L"<Principal id=\"Author\">");
    if (!user.empty()) {
        element(3, L"UserId", user);
    }
    if (const wchar_t* logon = logonTypeName(logonType)) {
        element(3, L"LogonType", logon);
    }
    element(3, L"RunLevel",
            definition.principal->runLevel == TASK_RUNLEVEL_HIGHEST ? L"HighestAvailable"
                                                                    : L"LeastPrivilege");
    line(2, L"</Principal>");
    line(1, L"</Principals>");

    const Settings& settings = *definition.settings;
    line(1, L"<Settings>");
    element(2, L"MultipleInstancesPolicy", L"IgnoreNew");
    element(2, L"DisallowStartIfOnBatteries", trueFalse(settings.disallowStartIfOnBatteries));
    element(2, L"StopIfGoingOnBatteries", trueFalse(settings.stopIfGoingOnBatteries));
    element(2, L"AllowHardTerminate", L"true");
    element(2, L"StartWhenAvailable", L"false");
    element(2, L"RunOnlyIfNetworkAvailable", L"false");
    line(2, L"<IdleSettings>");
    element(3, L"StopOnIdleEnd", L"true");
    element(3, L"RestartOnIdle", L"false");
    line(2, L"</IdleSettings>");
    element(2, L"AllowStartOnDemand", L"true");
    element(2, L"Enabled", trueFalse(settings.enabled));
    element(2, L"Hidden", L"false");
    element(2, L"RunOnlyIfIdle", L"false");
    element(2, L"WakeToRun", trueFalse(settings.wakeToRun));
    element(2, L"ExecutionTimeLimit", L"PT72H");
    element(2, L"Priority", L"7");
    line(1, L"</Settings>");

    if (definition.actions->items.empty()) {
        line(1, L"<Actions Context=\"Author\" />");
    } else {
        line(1, L"<Actions Context=\"Author\">");
        for (const ExecAction* action : definition.actions->items) {
            line(2, L"<Exec>");
            element(3, L"Command", action->path);
            if (!action->arguments.empty()) {
                element(3, L"Arguments", action->arguments);
            }
            line(2, L"</Exec>");
        }
        line(1, L"</Actions>");
    }
    xml += L"</Task>\r\n";
    return xml;
}

std::wstring taskStoreFolder() {
    std::wstring folder = environmentValue(L"QSH_STANDIN_TASKS_DIR");
    if (!folder.empty()) {
        return folder;
    }
    wchar_t system[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH + 1);
    return std::wstring(system, length) + L"\\Tasks";
}

class Folder final : public Object<ITaskFolderStub> {
  public:
    Folder() : Object(L"Folder", L"ITaskFolder", {__uuidof(ITaskFolder)}) {}

    HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* definition,
                                                     LONG flags, VARIANT user, VARIANT password,
                                                     TASK_LOGON_TYPE logonType, VARIANT sddl,
                                                     IRegisteredTask** task) override {
        std::wstring userText = describeVariant(user);
        if (V_VT(&user) == VT_BSTR && V_BSTR(&user) != nullptr) {
            const std::wstring label = handedOutLabel(V_BSTR(&user));
            userText += label.empty() ? L" (not handed out)" : L" (handed out: " + label + L")";
        }
        const std::wstring detail = L"path=" + textOf(path) + L" flags=" + std::to_wstring(flags) +
                                    L" user=" + userText + L" password=" +
                                    describeVariant(password) + L" logon=" +
                                    std::to_wstring(logonType) + L" sddl=" + describeVariant(sddl);
        if (HRESULT hr = enterOut(L"ITaskFolder::RegisterTaskDefinition", task, detail, {path});
            FAILED(hr)) {
            return hr;
        }
        Definition* known = nullptr;
        for (Definition* candidate : definitions()) {
            if (static_cast<ITaskDefinition*>(candidate) == definition) {
                known = candidate;
            }
        }
        if (known == nullptr) {
            return E_INVALIDARG;
        }
        std::wstring name = textOf(path);
        if (!name.empty() && name[0] == L'\\') {
            name.erase(0, 1);
        }
        if (name.empty() || name.find(L'\\') != std::wstring::npos) {
            return E_INVALIDARG;
        }

        const std::wstring folder = taskStoreFolder();
        CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring file = folder + L"\\" + name;
        const DWORD attributes = GetFileAttributesW(file.c_str());
        const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
        if (exists && (flags & TASK_UPDATE) == 0) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
        if (!exists && (flags & TASK_CREATE) == 0) {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }

        // The stored principal is the one the definition was given through put_UserId; the
        // registration's own user is in its ledger line, so a test sees each on its own.
        const std::wstring xml = taskXml(*known, name, known->principal->userId, logonType);
        // UTF-16 LE with a byte order mark, the way the store keeps every task.
        const std::wstring content = L"\xFEFF" + xml;
        const auto size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
        if (HRESULT hr = writeNewFile(file, content.data(), size); FAILED(hr)) {
            return hr;
        }
        return (new RegisteredTask(xml))->handOut(task);
    }
};

class Service final : public Object<ITaskServiceStub> {
  public:
    Service() : Object(L"Service", L"ITaskService", {__uuidof(ITaskService)}) {}

    HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain,
                                      VARIANT password) override {
        const std::wstring detail = describeVariant(server) + L" " + describeVariant(user) + L" " +
                                    describeVariant(domain) + L" " + describeVariant(password);
        if (HRESULT hr = enter(L"ITaskService::Connect", detail); FAILED(hr)) {
            return hr;
        }
        // Only the local computer as the current user.
        for (const VARIANT* value : {&server, &user, &domain, &password}) {
            if (V_VT(value) != VT_EMPTY && V_VT(value) != VT_NULL) {
                return E_NOTIMPL;
            }
        }
        wchar_t name[257] = {};
        DWORD size = 257;
        if (!GetUserNameW(name, &size)) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        user_ = name;
        connected_ = true;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override {
        if (HRESULT hr = enterConnected(L"GetFolder", folder, textOf(path), {path}); FAILED(hr)) {
            return hr;
        }
        if (textOf(path) != L"\\") {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        return (new Folder)->handOut(folder);
    }

    HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** definition) override {
        if (HRESULT hr = enterConnected(L"NewTask", definition, std::to_wstring(flags));
            FAILED(hr)) {
            return hr;
        }
        if (flags != 0) {
            return E_INVALIDARG;
        }
        auto* made = new Definition;
        definitions().push_back(made);
        return made->handOut(definition);
    }

    HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR* user) override {
        if (HRESULT hr = enterConnected(L"get_ConnectedUser", user); FAILED(hr)) {
            return hr;
        }
        if (environmentValue(L"QSH_STANDIN_TS_NULL_USER") == L"1") {
            return S_OK;
        }
        *user = handOutBstr(user_, L"connected user");
        return *user != nullptr ? S_OK : E_OUTOFMEMORY;
    }

  private:
    template <class T>
    HRESULT enterConnected(const wchar_t* method, T** out, const std::wstring& detail = {},
                           std::initializer_list<BSTR> bstrArgs = {}) {
        const HRESULT hr =
            enterOut(L"ITaskService::" + std::wstring(method), out, detail, bstrArgs);
        return FAILED(hr) || connected_ ? hr : HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    }

    bool connected_ = false;
    std::wstring user_;
};

class ClassFactory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // Static object: COM's references to it need no counting.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (HRESULT hr = enterCall(0, L"CoCreateInstance", guidText(iid)); FAILED(hr)) {
            return hr;
        }
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return (new Service)->query(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

ClassFactory factory;

} // namespace
} // namespace standin

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (!IsEqualCLSID(clsid, standin::kClsidTaskScheduler)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    standin::startLedger();
    return standin::factory.QueryInterface(iid, out);
}

// The helper's BSTR imports point into this DLL from the first request on, so it must
// stay loaded until the process ends.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return S_FALSE;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH) {
        standin::finishLedger(reserved != nullptr);
    }
    return TRUE;
}
