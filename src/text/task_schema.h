#pragma once

#include <cstdint>
#include <string_view>

namespace qsh {

// What an element of a task document may hold, as far as the helper lets it through. Each
// container names its own table of children; the last three hold no element at all.
enum class TaskPlace : std::uint8_t {
    Document, // above the document's element
    Task,
    BareTask, // a Task in no namespace: nothing inside
    RegistrationInfo,
    Triggers,
    CalendarTrigger,
    Repetition,
    ScheduleByDay,
    ScheduleByWeek,
    ScheduleByMonth,
    ScheduleByMonthDayOfWeek,
    DaysOfWeek,
    DaysOfMonth,
    Months,
    Weeks,
    Settings,
    IdleSettings,
    RestartOnFailure,
    NetworkSettings,
    Principals,
    Principal,
    Actions,
    Exec,
    Text,    // text that the Task Scheduler reads and the helper does not need to
    Value,   // text that the helper judges: it must be one plain text node
    Refused, // never let through; `reason` says why
};

struct TaskElement {
    std::wstring_view name;
    TaskPlace place;
    std::wstring_view reason = {}; // of a Refused element, after its name
};

// The element `name` of the task namespace as a child of `parent`: where it stands, or why it is
// refused; nullptr when the helper does not let it through there.
const TaskElement* taskChild(TaskPlace parent, std::wstring_view name);

} // namespace qsh
