#pragma once

// Base classes that answer E_NOTIMPL for every Task Scheduler 2.0 method; the
// stand-in's objects override the methods the helper calls. Generated from the
// interface declarations of taskschd.h (one class per leaf interface, inherited
// methods included).

#include <windows.h>
#include <taskschd.h>

namespace standin {

// A method the helper never calls.
#define QSH_NOT_IMPLEMENTED(signature)                                                             \
    HRESULT STDMETHODCALLTYPE signature override {                                                 \
        return E_NOTIMPL;                                                                          \
    }
// A get_/put_ pair the helper never calls.
#define QSH_NOT_IMPLEMENTED_PROPERTY(name, type)                                                   \
    QSH_NOT_IMPLEMENTED(get_##name(type*))                                                         \
    QSH_NOT_IMPLEMENTED(put_##name(type))

// IDispatch without type information: the helper binds early and never asks for it.
template <class Interface> struct DispatchStub : Interface {
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    QSH_NOT_IMPLEMENTED(GetTypeInfo(UINT, LCID, ITypeInfo**))
    QSH_NOT_IMPLEMENTED(GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*))
    QSH_NOT_IMPLEMENTED(Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                               UINT*))
};

struct ITaskServiceStub : DispatchStub<ITaskService> {
    QSH_NOT_IMPLEMENTED(GetFolder(BSTR, ITaskFolder**))
    QSH_NOT_IMPLEMENTED(GetRunningTasks(LONG, IRunningTaskCollection**))
    QSH_NOT_IMPLEMENTED(NewTask(DWORD, ITaskDefinition**))
    QSH_NOT_IMPLEMENTED(Connect(VARIANT, VARIANT, VARIANT, VARIANT))
    QSH_NOT_IMPLEMENTED(get_Connected(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(get_TargetServer(BSTR*))
    QSH_NOT_IMPLEMENTED(get_ConnectedUser(BSTR*))
    QSH_NOT_IMPLEMENTED(get_ConnectedDomain(BSTR*))
    QSH_NOT_IMPLEMENTED(get_HighestVersion(DWORD*))
};

struct ITaskFolderStub : DispatchStub<ITaskFolder> {
    QSH_NOT_IMPLEMENTED(get_Name(BSTR*))
    QSH_NOT_IMPLEMENTED(get_Path(BSTR*))
    QSH_NOT_IMPLEMENTED(GetFolder(BSTR, ITaskFolder**))
    QSH_NOT_IMPLEMENTED(GetFolders(LONG, ITaskFolderCollection**))
    QSH_NOT_IMPLEMENTED(CreateFolder(BSTR, VARIANT, ITaskFolder**))
    QSH_NOT_IMPLEMENTED(DeleteFolder(BSTR, LONG))
    QSH_NOT_IMPLEMENTED(GetTask(BSTR, IRegisteredTask**))
    QSH_NOT_IMPLEMENTED(GetTasks(LONG, IRegisteredTaskCollection**))
    QSH_NOT_IMPLEMENTED(DeleteTask(BSTR, LONG))
    QSH_NOT_IMPLEMENTED(RegisterTask(BSTR, BSTR, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE, VARIANT,
                                     IRegisteredTask**))
    QSH_NOT_IMPLEMENTED(RegisterTaskDefinition(BSTR, ITaskDefinition*, LONG, VARIANT, VARIANT,
                                               TASK_LOGON_TYPE, VARIANT, IRegisteredTask**))
    QSH_NOT_IMPLEMENTED(GetSecurityDescriptor(LONG, BSTR*))
    QSH_NOT_IMPLEMENTED(SetSecurityDescriptor(BSTR, LONG))
};

struct ITaskDefinitionStub : DispatchStub<ITaskDefinition> {
    QSH_NOT_IMPLEMENTED_PROPERTY(RegistrationInfo, IRegistrationInfo*)
    QSH_NOT_IMPLEMENTED_PROPERTY(Triggers, ITriggerCollection*)
    QSH_NOT_IMPLEMENTED_PROPERTY(Settings, ITaskSettings*)
    QSH_NOT_IMPLEMENTED_PROPERTY(Data, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Principal, IPrincipal*)
    QSH_NOT_IMPLEMENTED_PROPERTY(Actions, IActionCollection*)
    QSH_NOT_IMPLEMENTED_PROPERTY(XmlText, BSTR)
};

struct IRegistrationInfoStub : DispatchStub<IRegistrationInfo> {
    QSH_NOT_IMPLEMENTED_PROPERTY(Description, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Author, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Version, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Date, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Documentation, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(XmlText, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(URI, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(SecurityDescriptor, VARIANT)
    QSH_NOT_IMPLEMENTED_PROPERTY(Source, BSTR)
};

struct IPrincipalStub : DispatchStub<IPrincipal> {
    QSH_NOT_IMPLEMENTED_PROPERTY(Id, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(DisplayName, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(UserId, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(LogonType, TASK_LOGON_TYPE)
    QSH_NOT_IMPLEMENTED_PROPERTY(GroupId, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(RunLevel, TASK_RUNLEVEL_TYPE)
};

struct ITaskSettingsStub : DispatchStub<ITaskSettings> {
    QSH_NOT_IMPLEMENTED_PROPERTY(AllowDemandStart, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(RestartInterval, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(RestartCount, INT)
    QSH_NOT_IMPLEMENTED_PROPERTY(MultipleInstances, TASK_INSTANCES_POLICY)
    QSH_NOT_IMPLEMENTED_PROPERTY(StopIfGoingOnBatteries, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(DisallowStartIfOnBatteries, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(AllowHardTerminate, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(StartWhenAvailable, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(XmlText, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(RunOnlyIfNetworkAvailable, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(ExecutionTimeLimit, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Enabled, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(DeleteExpiredTaskAfter, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Priority, INT)
    QSH_NOT_IMPLEMENTED_PROPERTY(Compatibility, TASK_COMPATIBILITY)
    QSH_NOT_IMPLEMENTED_PROPERTY(Hidden, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(IdleSettings, IIdleSettings*)
    QSH_NOT_IMPLEMENTED_PROPERTY(RunOnlyIfIdle, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(WakeToRun, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(NetworkSettings, INetworkSettings*)
};

struct ITriggerCollectionStub : DispatchStub<ITriggerCollection> {
    QSH_NOT_IMPLEMENTED(get_Count(LONG*))
    QSH_NOT_IMPLEMENTED(get_Item(LONG, ITrigger**))
    QSH_NOT_IMPLEMENTED(get__NewEnum(IUnknown**))
    QSH_NOT_IMPLEMENTED(Create(TASK_TRIGGER_TYPE2, ITrigger**))
    QSH_NOT_IMPLEMENTED(Remove(VARIANT))
    QSH_NOT_IMPLEMENTED(Clear())
};

struct IDailyTriggerStub : DispatchStub<IDailyTrigger> {
    QSH_NOT_IMPLEMENTED(get_Type(TASK_TRIGGER_TYPE2*))
    QSH_NOT_IMPLEMENTED_PROPERTY(Id, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Repetition, IRepetitionPattern*)
    QSH_NOT_IMPLEMENTED_PROPERTY(ExecutionTimeLimit, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(StartBoundary, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(EndBoundary, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Enabled, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED_PROPERTY(DaysInterval, short)
    QSH_NOT_IMPLEMENTED_PROPERTY(RandomDelay, BSTR)
};

struct IActionCollectionStub : DispatchStub<IActionCollection> {
    QSH_NOT_IMPLEMENTED(get_Count(LONG*))
    QSH_NOT_IMPLEMENTED(get_Item(LONG, IAction**))
    QSH_NOT_IMPLEMENTED(get__NewEnum(IUnknown**))
    QSH_NOT_IMPLEMENTED_PROPERTY(XmlText, BSTR)
    QSH_NOT_IMPLEMENTED(Create(TASK_ACTION_TYPE, IAction**))
    QSH_NOT_IMPLEMENTED(Remove(VARIANT))
    QSH_NOT_IMPLEMENTED(Clear())
    QSH_NOT_IMPLEMENTED_PROPERTY(Context, BSTR)
};

struct IExecActionStub : DispatchStub<IExecAction> {
    QSH_NOT_IMPLEMENTED_PROPERTY(Id, BSTR)
    QSH_NOT_IMPLEMENTED(get_Type(TASK_ACTION_TYPE*))
    QSH_NOT_IMPLEMENTED_PROPERTY(Path, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(Arguments, BSTR)
    QSH_NOT_IMPLEMENTED_PROPERTY(WorkingDirectory, BSTR)
};

struct IRegisteredTaskStub : DispatchStub<IRegisteredTask> {
    QSH_NOT_IMPLEMENTED(get_Name(BSTR*))
    QSH_NOT_IMPLEMENTED(get_Path(BSTR*))
    QSH_NOT_IMPLEMENTED(get_State(TASK_STATE*))
    QSH_NOT_IMPLEMENTED_PROPERTY(Enabled, VARIANT_BOOL)
    QSH_NOT_IMPLEMENTED(Run(VARIANT, IRunningTask**))
    QSH_NOT_IMPLEMENTED(RunEx(VARIANT, LONG, LONG, BSTR, IRunningTask**))
    QSH_NOT_IMPLEMENTED(GetInstances(LONG, IRunningTaskCollection**))
    QSH_NOT_IMPLEMENTED(get_LastRunTime(DATE*))
    QSH_NOT_IMPLEMENTED(get_LastTaskResult(LONG*))
    QSH_NOT_IMPLEMENTED(get_NumberOfMissedRuns(LONG*))
    QSH_NOT_IMPLEMENTED(get_NextRunTime(DATE*))
    QSH_NOT_IMPLEMENTED(get_Definition(ITaskDefinition**))
    QSH_NOT_IMPLEMENTED(get_Xml(BSTR*))
    QSH_NOT_IMPLEMENTED(GetSecurityDescriptor(LONG, BSTR*))
    QSH_NOT_IMPLEMENTED(SetSecurityDescriptor(BSTR, LONG))
    QSH_NOT_IMPLEMENTED(Stop(LONG))
    QSH_NOT_IMPLEMENTED(GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*))
};

} // namespace standin
