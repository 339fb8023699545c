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

std::wstring iidName(REFIID iid) {
    struct Known {
        const IID* iid;
        const wchar_t* name;
    };
    static const Known known[] = {
        {&IID_IUnknown, L"IUnknown"},
        {&IID_IDispatch, L"IDispatch"},
        {&__uuidof(ITaskService), L"ITaskService"},
        {&__uuidof(ITaskFolder), L"ITaskFolder"},
        {&__uuidof(ITaskDefinition), L"ITaskDefinition"},
        {&__uuidof(ITrigger), L"ITrigger"},
        {&__uuidof(IDailyTrigger), L"IDailyTrigger"},
        {&__uuidof(IAction), L"IAction"},
        {&__uuidof(IExecAction), L"IExecAction"},
        {&__uuidof(IRegisteredTask), L"IRegisteredTask"},
    };
    for (const Known& entry : known) {
        if (IsEqualIID(iid, *entry.iid)) {
            return entry.name;
        }
    }
    wchar_t text[40] = {};
    StringFromGUID2(iid, text, 40);
    return text;
}

std::wstring boolText(VARIANT_BOOL value) {
    if (value == VARIANT_TRUE) {
        return L"VARIANT_TRUE";
    }
    if (value == VARIANT_FALSE) {
        return L"VARIANT_FALSE";
    }
    return std::to_wstring(value);
}

// Bookkeeping shared by every object: the ledger id, and IUnknown over one chain of
// interfaces. Objects live until the process ends, so a call through a released
// pointer is reported instead of crashing.
template <class Stub> class Object : public Stub {
  public:
    Object(const wchar_t* kind, const wchar_t* interfaceName, std::initializer_list<IID> iids)
        : id_(registerObject(kind)), interfaceName_(interfaceName), iids_(iids) {}
    virtual ~Object() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (HRESULT hr = enter(L"QueryInterface", iidName(iid)); FAILED(hr)) {
            if (out != nullptr) {
                *out = nullptr;
            }
            return hr;
        }
        return query(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRefObject(id_); }
    ULONG STDMETHODCALLTYPE Release() override { return releaseObject(id_); }

    // QueryInterface without the journal, for the class factory.
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
    HRESULT enter(const wchar_t* method, const std::wstring& detail = {},
                  std::initializer_list<BSTR> bstrArgs = {}) {
        return enterNamed(interfaceName_ + L"::" + method, detail, bstrArgs);
    }
    HRESULT enterNamed(const std::wstring& name, const std::wstring& detail = {},
                       std::initializer_list<BSTR> bstrArgs = {}) {
        return enterCall(id_, name, detail, bstrArgs);
    }
    HRESULT putText(const std::wstring& name, BSTR value, std::wstring& field) {
        if (HRESULT hr = enterNamed(name, textOf(value), {value}); FAILED(hr)) {
            return hr;
        }
        field = textOf(value);
        return S_OK;
    }

  private:
    int id_;
    std::wstring interfaceName_;
    std::vector<IID> iids_;
};

class RegistrationInfo final : public Object<IRegistrationInfoStub> {
  public:
    RegistrationInfo()
        : Object(L"RegistrationInfo", L"IRegistrationInfo", {__uuidof(IRegistrationInfo)}) {}

    HRESULT STDMETHODCALLTYPE put_Author(BSTR author) override {
        return putText(L"IRegistrationInfo::put_Author", author, this->author);
    }

    std::wstring author;
};

class Principal final : public Object<IPrincipalStub> {
  public:
    Principal() : Object(L"Principal", L"IPrincipal", {__uuidof(IPrincipal)}) {}

    HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) override {
        return putText(L"IPrincipal::put_UserId", user, userId);
    }
    HRESULT STDMETHODCALLTYPE put_LogonType(TASK_LOGON_TYPE type) override {
        if (HRESULT hr = enter(L"put_LogonType", std::to_wstring(type)); FAILED(hr)) {
            return hr;
        }
        if (type < TASK_LOGON_NONE || type > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) {
            return E_INVALIDARG;
        }
        logonType = type;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE level) override {
        if (HRESULT hr = enter(L"put_RunLevel", std::to_wstring(level)); FAILED(hr)) {
            return hr;
        }
        if (level != TASK_RUNLEVEL_LUA && level != TASK_RUNLEVEL_HIGHEST) {
            return E_INVALIDARG;
        }
        runLevel = level;
        return S_OK;
    }

    std::wstring userId;
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
    TASK_RUNLEVEL_TYPE runLevel = TASK_RUNLEVEL_LUA;
};

class Settings final : public Object<ITaskSettingsStub> {
  public:
    Settings() : Object(L"Settings", L"ITaskSettings", {__uuidof(ITaskSettings)}) {}

    HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL value) override {
        return set(L"put_DisallowStartIfOnBatteries", value, disallowStartIfOnBatteries);
    }
    HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL value) override {
        return set(L"put_StopIfGoingOnBatteries", value, stopIfGoingOnBatteries);
    }
    HRESULT STDMETHODCALLTYPE put_WakeToRun(VARIANT_BOOL value) override {
        return set(L"put_WakeToRun", value, wakeToRun);
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
        return set(L"put_Enabled", value, enabled);
    }

    // The service's defaults for a new definition.
    bool disallowStartIfOnBatteries = true;
    bool stopIfGoingOnBatteries = true;
    bool wakeToRun = false;
    bool enabled = true;

  private:
    HRESULT set(const wchar_t* method, VARIANT_BOOL value, bool& field) {
        if (HRESULT hr = enter(method, boolText(value)); FAILED(hr)) {
            return hr;
        }
        field = value != VARIANT_FALSE;
        return S_OK;
    }
};

class DailyTrigger final : public Object<IDailyTriggerStub> {
  public:
    DailyTrigger()
        : Object(L"Trigger", L"ITrigger", {__uuidof(ITrigger), __uuidof(IDailyTrigger)}) {}

    HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR boundary) override {
        return putText(L"IDailyTrigger::put_StartBoundary", boundary, startBoundary);
    }
    HRESULT STDMETHODCALLTYPE put_DaysInterval(short days) override {
        if (HRESULT hr = enterDaily(L"put_DaysInterval", std::to_wstring(days)); FAILED(hr)) {
            return hr;
        }
        if (days <= 0) {
            return E_INVALIDARG;
        }
        daysInterval = days;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
        if (HRESULT hr = enterDaily(L"put_Enabled", boolText(value)); FAILED(hr)) {
            return hr;
        }
        enabled = value != VARIANT_FALSE;
        return S_OK;
    }

    std::wstring startBoundary;
    short daysInterval = 1;
    bool enabled = true;

  private:
    // Methods reached through IDailyTrigger are named after it; QueryInterface after ITrigger.
    HRESULT enterDaily(const wchar_t* method, const std::wstring& detail) {
        return enterNamed(std::wstring(L"IDailyTrigger::") + method, detail);
    }
};

class ExecAction final : public Object<IExecActionStub> {
  public:
    ExecAction() : Object(L"Action", L"IAction", {__uuidof(IAction), __uuidof(IExecAction)}) {}

    HRESULT STDMETHODCALLTYPE put_Path(BSTR path) override {
        return putText(L"IExecAction::put_Path", path, this->path);
    }
    HRESULT STDMETHODCALLTYPE put_Arguments(BSTR arguments) override {
        return putText(L"IExecAction::put_Arguments", arguments, this->arguments);
    }

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
        if (HRESULT hr = this->enter(L"Create", std::to_wstring(type)); FAILED(hr)) {
            return hr;
        }
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
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

class Definition final : public Object<ITaskDefinitionStub> {
  public:
    Definition() : Object(L"Definition", L"ITaskDefinition", {__uuidof(ITaskDefinition)}) {}

    HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** out) override {
        return give(L"get_RegistrationInfo", registrationInfo, out);
    }
    HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** out) override {
        return give(L"get_Principal", principal, out);
    }
    HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** out) override {
        return give(L"get_Settings", settings, out);
    }
    HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** out) override {
        return give(L"get_Triggers", triggers, out);
    }
    HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** out) override {
        return give(L"get_Actions", actions, out);
    }

    RegistrationInfo* registrationInfo = new RegistrationInfo;
    Principal* principal = new Principal;
    Settings* settings = new Settings;
    TriggerCollection* triggers = new TriggerCollection(L"TriggerCollection", L"ITriggerCollection",
                                                        __uuidof(ITriggerCollection));
    ActionCollection* actions = new ActionCollection(L"ActionCollection", L"IActionCollection",
                                                     __uuidof(IActionCollection));

  private:
    template <class Part, class Interface>
    HRESULT give(const wchar_t* method, Part* part, Interface** out) {
        if (HRESULT hr = enter(method); FAILED(hr)) {
            return hr;
        }
        if (out == nullptr) {
            return E_POINTER;
        }
        return part->handOut(out);
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
        if (HRESULT hr = enter(L"get_Xml"); FAILED(hr)) {
            return hr;
        }
        if (xml == nullptr) {
            return E_POINTER;
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
    switch (type) {
    case TASK_LOGON_PASSWORD:
        return L"Password";
    case TASK_LOGON_S4U:
        return L"S4U";
    case TASK_LOGON_INTERACTIVE_TOKEN:
        return L"InteractiveToken";
    case TASK_LOGON_GROUP:
        return L"Group";
    case TASK_LOGON_SERVICE_ACCOUNT:
        return L"ServiceAccount";
    case TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD:
        return L"InteractiveTokenOrPassword";
    default:
        return nullptr;
    }
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

// UTF-16 LE with a byte order mark, the way the store keeps every task.
HRESULT storeTask(const std::wstring& path, const std::wstring& xml) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    std::wstring content = L"\xFEFF" + xml;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
    const BOOL ok = WriteFile(file, content.data(), size, &written, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok) {
        return HRESULT_FROM_WIN32(error);
    }
    return written == size ? S_OK : HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
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
        if (HRESULT hr = enter(L"RegisterTaskDefinition", detail, {path}); FAILED(hr)) {
            return hr;
        }
        if (task == nullptr) {
            return E_POINTER;
        }
        *task = nullptr;
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
        // registration's own user is in the journal, so a test sees each on its own.
        const std::wstring xml = taskXml(*known, name, known->principal->userId, logonType);
        if (HRESULT hr = storeTask(file, xml); FAILED(hr)) {
            return hr;
        }
        noteEvent(L"stored " + file);
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
        if (HRESULT hr = enter(L"Connect", detail); FAILED(hr)) {
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
        if (HRESULT hr = enter(L"GetFolder", textOf(path), {path}); FAILED(hr)) {
            return hr;
        }
        if (folder == nullptr) {
            return E_POINTER;
        }
        *folder = nullptr;
        if (!connected_) {
            return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
        }
        if (textOf(path) != L"\\") {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        return (new Folder)->handOut(folder);
    }

    HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** definition) override {
        if (HRESULT hr = enter(L"NewTask", std::to_wstring(flags)); FAILED(hr)) {
            return hr;
        }
        if (definition == nullptr) {
            return E_POINTER;
        }
        *definition = nullptr;
        if (!connected_) {
            return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
        }
        if (flags != 0) {
            return E_INVALIDARG;
        }
        auto* made = new Definition;
        definitions().push_back(made);
        return made->handOut(definition);
    }

    HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR* user) override {
        if (HRESULT hr = enter(L"get_ConnectedUser"); FAILED(hr)) {
            return hr;
        }
        if (user == nullptr) {
            return E_POINTER;
        }
        *user = nullptr;
        if (!connected_) {
            return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
        }
        if (connectedUserIsNull()) {
            noteEvent(L"hand-out null connected user");
            return S_OK;
        }
        *user = handOutBstr(user_, L"connected user");
        return *user != nullptr ? S_OK : E_OUTOFMEMORY;
    }

  private:
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
        if (HRESULT hr = enterCall(0, L"CoCreateInstance", iidName(iid)); FAILED(hr)) {
            return hr;
        }
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* service = new Service;
        noteInstanceCreated();
        return service->query(iid, out);
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
