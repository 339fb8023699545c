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

// IDispatch without type information: the helper binds early and never asks for it.
template <class Interface> class DispatchStub : public Interface {
  public:
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

class ITaskServiceStub : public DispatchStub<ITaskService> {
  public:
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

class ITaskFolderStub : public DispatchStub<ITaskFolder> {
  public:
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

class ITaskDefinitionStub : public DispatchStub<ITaskDefinition> {
  public:
    QSH_NOT_IMPLEMENTED(get_RegistrationInfo(IRegistrationInfo**))
    QSH_NOT_IMPLEMENTED(put_RegistrationInfo(IRegistrationInfo*))
    QSH_NOT_IMPLEMENTED(get_Triggers(ITriggerCollection**))
    QSH_NOT_IMPLEMENTED(put_Triggers(ITriggerCollection*))
    QSH_NOT_IMPLEMENTED(get_Settings(ITaskSettings**))
    QSH_NOT_IMPLEMENTED(put_Settings(ITaskSettings*))
    QSH_NOT_IMPLEMENTED(get_Data(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Data(BSTR))
    QSH_NOT_IMPLEMENTED(get_Principal(IPrincipal**))
    QSH_NOT_IMPLEMENTED(put_Principal(IPrincipal*))
    QSH_NOT_IMPLEMENTED(get_Actions(IActionCollection**))
    QSH_NOT_IMPLEMENTED(put_Actions(IActionCollection*))
    QSH_NOT_IMPLEMENTED(get_XmlText(BSTR*))
    QSH_NOT_IMPLEMENTED(put_XmlText(BSTR))
};

class IRegistrationInfoStub : public DispatchStub<IRegistrationInfo> {
  public:
    QSH_NOT_IMPLEMENTED(get_Description(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Description(BSTR))
    QSH_NOT_IMPLEMENTED(get_Author(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Author(BSTR))
    QSH_NOT_IMPLEMENTED(get_Version(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Version(BSTR))
    QSH_NOT_IMPLEMENTED(get_Date(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Date(BSTR))
    QSH_NOT_IMPLEMENTED(get_Documentation(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Documentation(BSTR))
    QSH_NOT_IMPLEMENTED(get_XmlText(BSTR*))
    QSH_NOT_IMPLEMENTED(put_XmlText(BSTR))
    QSH_NOT_IMPLEMENTED(get_URI(BSTR*))
    QSH_NOT_IMPLEMENTED(put_URI(BSTR))
    QSH_NOT_IMPLEMENTED(get_SecurityDescriptor(VARIANT*))
    QSH_NOT_IMPLEMENTED(put_SecurityDescriptor(VARIANT))
    QSH_NOT_IMPLEMENTED(get_Source(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Source(BSTR))
};

class IPrincipalStub : public DispatchStub<IPrincipal> {
  public:
    QSH_NOT_IMPLEMENTED(get_Id(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Id(BSTR))
    QSH_NOT_IMPLEMENTED(get_DisplayName(BSTR*))
    QSH_NOT_IMPLEMENTED(put_DisplayName(BSTR))
    QSH_NOT_IMPLEMENTED(get_UserId(BSTR*))
    QSH_NOT_IMPLEMENTED(put_UserId(BSTR))
    QSH_NOT_IMPLEMENTED(get_LogonType(TASK_LOGON_TYPE*))
    QSH_NOT_IMPLEMENTED(put_LogonType(TASK_LOGON_TYPE))
    QSH_NOT_IMPLEMENTED(get_GroupId(BSTR*))
    QSH_NOT_IMPLEMENTED(put_GroupId(BSTR))
    QSH_NOT_IMPLEMENTED(get_RunLevel(TASK_RUNLEVEL_TYPE*))
    QSH_NOT_IMPLEMENTED(put_RunLevel(TASK_RUNLEVEL_TYPE))
};

class ITaskSettingsStub : public DispatchStub<ITaskSettings> {
  public:
    QSH_NOT_IMPLEMENTED(get_AllowDemandStart(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_AllowDemandStart(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_RestartInterval(BSTR*))
    QSH_NOT_IMPLEMENTED(put_RestartInterval(BSTR))
    QSH_NOT_IMPLEMENTED(get_RestartCount(INT*))
    QSH_NOT_IMPLEMENTED(put_RestartCount(INT))
    QSH_NOT_IMPLEMENTED(get_MultipleInstances(TASK_INSTANCES_POLICY*))
    QSH_NOT_IMPLEMENTED(put_MultipleInstances(TASK_INSTANCES_POLICY))
    QSH_NOT_IMPLEMENTED(get_StopIfGoingOnBatteries(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_StopIfGoingOnBatteries(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_DisallowStartIfOnBatteries(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_DisallowStartIfOnBatteries(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_AllowHardTerminate(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_AllowHardTerminate(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_StartWhenAvailable(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_StartWhenAvailable(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_XmlText(BSTR*))
    QSH_NOT_IMPLEMENTED(put_XmlText(BSTR))
    QSH_NOT_IMPLEMENTED(get_RunOnlyIfNetworkAvailable(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_RunOnlyIfNetworkAvailable(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_ExecutionTimeLimit(BSTR*))
    QSH_NOT_IMPLEMENTED(put_ExecutionTimeLimit(BSTR))
    QSH_NOT_IMPLEMENTED(get_Enabled(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_Enabled(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_DeleteExpiredTaskAfter(BSTR*))
    QSH_NOT_IMPLEMENTED(put_DeleteExpiredTaskAfter(BSTR))
    QSH_NOT_IMPLEMENTED(get_Priority(INT*))
    QSH_NOT_IMPLEMENTED(put_Priority(INT))
    QSH_NOT_IMPLEMENTED(get_Compatibility(TASK_COMPATIBILITY*))
    QSH_NOT_IMPLEMENTED(put_Compatibility(TASK_COMPATIBILITY))
    QSH_NOT_IMPLEMENTED(get_Hidden(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_Hidden(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_IdleSettings(IIdleSettings**))
    QSH_NOT_IMPLEMENTED(put_IdleSettings(IIdleSettings*))
    QSH_NOT_IMPLEMENTED(get_RunOnlyIfIdle(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_RunOnlyIfIdle(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_WakeToRun(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_WakeToRun(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_NetworkSettings(INetworkSettings**))
    QSH_NOT_IMPLEMENTED(put_NetworkSettings(INetworkSettings*))
};

class ITriggerCollectionStub : public DispatchStub<ITriggerCollection> {
  public:
    QSH_NOT_IMPLEMENTED(get_Count(LONG*))
    QSH_NOT_IMPLEMENTED(get_Item(LONG, ITrigger**))
    QSH_NOT_IMPLEMENTED(get__NewEnum(IUnknown**))
    QSH_NOT_IMPLEMENTED(Create(TASK_TRIGGER_TYPE2, ITrigger**))
    QSH_NOT_IMPLEMENTED(Remove(VARIANT))
    QSH_NOT_IMPLEMENTED(Clear())
};

class IDailyTriggerStub : public DispatchStub<IDailyTrigger> {
  public:
    QSH_NOT_IMPLEMENTED(get_Type(TASK_TRIGGER_TYPE2*))
    QSH_NOT_IMPLEMENTED(get_Id(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Id(BSTR))
    QSH_NOT_IMPLEMENTED(get_Repetition(IRepetitionPattern**))
    QSH_NOT_IMPLEMENTED(put_Repetition(IRepetitionPattern*))
    QSH_NOT_IMPLEMENTED(get_ExecutionTimeLimit(BSTR*))
    QSH_NOT_IMPLEMENTED(put_ExecutionTimeLimit(BSTR))
    QSH_NOT_IMPLEMENTED(get_StartBoundary(BSTR*))
    QSH_NOT_IMPLEMENTED(put_StartBoundary(BSTR))
    QSH_NOT_IMPLEMENTED(get_EndBoundary(BSTR*))
    QSH_NOT_IMPLEMENTED(put_EndBoundary(BSTR))
    QSH_NOT_IMPLEMENTED(get_Enabled(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_Enabled(VARIANT_BOOL))
    QSH_NOT_IMPLEMENTED(get_DaysInterval(short*))
    QSH_NOT_IMPLEMENTED(put_DaysInterval(short))
    QSH_NOT_IMPLEMENTED(get_RandomDelay(BSTR*))
    QSH_NOT_IMPLEMENTED(put_RandomDelay(BSTR))
};

class IActionCollectionStub : public DispatchStub<IActionCollection> {
  public:
    QSH_NOT_IMPLEMENTED(get_Count(LONG*))
    QSH_NOT_IMPLEMENTED(get_Item(LONG, IAction**))
    QSH_NOT_IMPLEMENTED(get__NewEnum(IUnknown**))
    QSH_NOT_IMPLEMENTED(get_XmlText(BSTR*))
    QSH_NOT_IMPLEMENTED(put_XmlText(BSTR))
    QSH_NOT_IMPLEMENTED(Create(TASK_ACTION_TYPE, IAction**))
    QSH_NOT_IMPLEMENTED(Remove(VARIANT))
    QSH_NOT_IMPLEMENTED(Clear())
    QSH_NOT_IMPLEMENTED(get_Context(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Context(BSTR))
};

class IExecActionStub : public DispatchStub<IExecAction> {
  public:
    QSH_NOT_IMPLEMENTED(get_Id(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Id(BSTR))
    QSH_NOT_IMPLEMENTED(get_Type(TASK_ACTION_TYPE*))
    QSH_NOT_IMPLEMENTED(get_Path(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Path(BSTR))
    QSH_NOT_IMPLEMENTED(get_Arguments(BSTR*))
    QSH_NOT_IMPLEMENTED(put_Arguments(BSTR))
    QSH_NOT_IMPLEMENTED(get_WorkingDirectory(BSTR*))
    QSH_NOT_IMPLEMENTED(put_WorkingDirectory(BSTR))
};

class IRegisteredTaskStub : public DispatchStub<IRegisteredTask> {
  public:
    QSH_NOT_IMPLEMENTED(get_Name(BSTR*))
    QSH_NOT_IMPLEMENTED(get_Path(BSTR*))
    QSH_NOT_IMPLEMENTED(get_State(TASK_STATE*))
    QSH_NOT_IMPLEMENTED(get_Enabled(VARIANT_BOOL*))
    QSH_NOT_IMPLEMENTED(put_Enabled(VARIANT_BOOL))
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
