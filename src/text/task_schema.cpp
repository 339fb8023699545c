#include "text/task_schema.h"

#include <span>

namespace qsh {
namespace {

using P = TaskPlace;

// Each table lists what its place may hold. Anything else, and everything that only
// administrators may register or that runs with more than the user's own rights, is refused.
constexpr TaskElement kDocument[] = {{L"Task", P::Task}};

// No Data: it holds any markup in any namespace, and nothing here needs it.
constexpr TaskElement kTask[] = {
    {L"RegistrationInfo", P::RegistrationInfo},
    {L"Triggers", P::Triggers},
    {L"Settings", P::Settings},
    {L"Principals", P::Principals},
    {L"Actions", P::Actions},
};

// SecurityDescriptor is refused before these are looked at.
constexpr TaskElement kRegistrationInfo[] = {
    {L"URI", P::Text},           {L"Source", P::Text},  {L"Date", P::Text},
    {L"Author", P::Text},        {L"Version", P::Text}, {L"Description", P::Text},
    {L"Documentation", P::Text},
};

constexpr TaskElement kTriggers[] = {
    {L"CalendarTrigger", P::CalendarTrigger},
    {L"BootTrigger", P::Refused, L"a BootTrigger, which only administrators may register."},
    {L"EventTrigger", P::Refused,
     L"an EventTrigger, whose event query could hand the task events from logs that the "
     L"asking user may not read."},
    {L"LogonTrigger", P::Refused,
     L"a LogonTrigger, which only administrators may register for every user or for another "
     L"user."},
    {L"SessionStateChangeTrigger", P::Refused,
     L"a SessionStateChangeTrigger, which only administrators may register for every user or "
     L"for another user."},
};

constexpr TaskElement kCalendarTrigger[] = {
    {L"Enabled", P::Text},
    {L"StartBoundary", P::Text},
    {L"EndBoundary", P::Text},
    {L"Repetition", P::Repetition},
    {L"ExecutionTimeLimit", P::Text},
    {L"RandomDelay", P::Text},
    {L"ScheduleByDay", P::ScheduleByDay},
    {L"ScheduleByWeek", P::ScheduleByWeek},
    {L"ScheduleByMonth", P::ScheduleByMonth},
    {L"ScheduleByMonthDayOfWeek", P::ScheduleByMonthDayOfWeek},
};

constexpr TaskElement kRepetition[] = {
    {L"Interval", P::Text}, {L"Duration", P::Text}, {L"StopAtDurationEnd", P::Text}};
constexpr TaskElement kScheduleByDay[] = {{L"DaysInterval", P::Text}};
constexpr TaskElement kScheduleByWeek[] = {{L"WeeksInterval", P::Text},
                                           {L"DaysOfWeek", P::DaysOfWeek}};
constexpr TaskElement kScheduleByMonth[] = {{L"DaysOfMonth", P::DaysOfMonth},
                                            {L"Months", P::Months}};
constexpr TaskElement kScheduleByMonthDayOfWeek[] = {
    {L"Weeks", P::Weeks}, {L"DaysOfWeek", P::DaysOfWeek}, {L"Months", P::Months}};
constexpr TaskElement kDaysOfWeek[] = {
    {L"Monday", P::Text}, {L"Tuesday", P::Text},  {L"Wednesday", P::Text}, {L"Thursday", P::Text},
    {L"Friday", P::Text}, {L"Saturday", P::Text}, {L"Sunday", P::Text},
};
constexpr TaskElement kDaysOfMonth[] = {{L"Day", P::Text}};
constexpr TaskElement kMonths[] = {
    {L"January", P::Text},   {L"February", P::Text}, {L"March", P::Text},    {L"April", P::Text},
    {L"May", P::Text},       {L"June", P::Text},     {L"July", P::Text},     {L"August", P::Text},
    {L"September", P::Text}, {L"October", P::Text},  {L"November", P::Text}, {L"December", P::Text},
};
constexpr TaskElement kWeeks[] = {{L"Week", P::Text}};

// Priority is judged: above the normal priority class is more than the user's own programs get.
constexpr TaskElement kSettings[] = {
    {L"AllowStartOnDemand", P::Text},
    {L"RestartOnFailure", P::RestartOnFailure},
    {L"MultipleInstancesPolicy", P::Text},
    {L"DisallowStartIfOnBatteries", P::Text},
    {L"StopIfGoingOnBatteries", P::Text},
    {L"AllowHardTerminate", P::Text},
    {L"StartWhenAvailable", P::Text},
    {L"NetworkProfileName", P::Text},
    {L"RunOnlyIfNetworkAvailable", P::Text},
    {L"WakeToRun", P::Text},
    {L"Enabled", P::Text},
    {L"Hidden", P::Text},
    {L"DeleteExpiredTaskAfter", P::Text},
    {L"IdleSettings", P::IdleSettings},
    {L"NetworkSettings", P::NetworkSettings},
    {L"ExecutionTimeLimit", P::Text},
    {L"Priority", P::Value},
    {L"RunOnlyIfIdle", P::Text},
    {L"UseUnifiedSchedulingEngine", P::Text},
    {L"DisallowStartOnRemoteAppSession", P::Text},
};

constexpr TaskElement kIdleSettings[] = {{L"Duration", P::Text},
                                         {L"WaitTimeout", P::Text},
                                         {L"StopOnIdleEnd", P::Text},
                                         {L"RestartOnIdle", P::Text}};
constexpr TaskElement kRestartOnFailure[] = {{L"Interval", P::Text}, {L"Count", P::Text}};
constexpr TaskElement kNetworkSettings[] = {{L"Name", P::Text}, {L"Id", P::Text}};
constexpr TaskElement kPrincipals[] = {{L"Principal", P::Principal}};
constexpr TaskElement kPrincipal[] = {{L"UserId", P::Value},
                                      {L"GroupId", P::Value},
                                      {L"LogonType", P::Value},
                                      {L"RunLevel", P::Value},
                                      {L"DisplayName", P::Value}};
// Only programs: no COM handler, e-mail or message box.
constexpr TaskElement kActions[] = {{L"Exec", P::Exec}};
constexpr TaskElement kExec[] = {
    {L"Command", P::Text}, {L"Arguments", P::Text}, {L"WorkingDirectory", P::Text}};

struct Container {
    TaskPlace place;
    std::span<const TaskElement> children;
};

constexpr Container kContainers[] = {
    {P::Document, kDocument},
    {P::Task, kTask},
    {P::RegistrationInfo, kRegistrationInfo},
    {P::Triggers, kTriggers},
    {P::CalendarTrigger, kCalendarTrigger},
    {P::Repetition, kRepetition},
    {P::ScheduleByDay, kScheduleByDay},
    {P::ScheduleByWeek, kScheduleByWeek},
    {P::ScheduleByMonth, kScheduleByMonth},
    {P::ScheduleByMonthDayOfWeek, kScheduleByMonthDayOfWeek},
    {P::DaysOfWeek, kDaysOfWeek},
    {P::DaysOfMonth, kDaysOfMonth},
    {P::Months, kMonths},
    {P::Weeks, kWeeks},
    {P::Settings, kSettings},
    {P::IdleSettings, kIdleSettings},
    {P::RestartOnFailure, kRestartOnFailure},
    {P::NetworkSettings, kNetworkSettings},
    {P::Principals, kPrincipals},
    {P::Principal, kPrincipal},
    {P::Actions, kActions},
    {P::Exec, kExec},
};

} // namespace

const TaskElement* taskChild(TaskPlace parent, std::wstring_view name) {
    for (const Container& container : kContainers) {
        if (container.place != parent) {
            continue;
        }
        for (const TaskElement& child : container.children) {
            if (child.name == name) {
                return &child;
            }
        }
    }
    return nullptr; // BareTask, Text and Value hold no element
}

} // namespace qsh
