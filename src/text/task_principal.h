#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qsh {

// What a Task Scheduler document says about the account its task runs as, read with a real XML
// parser from exactly the bytes that are handed on.
struct TaskPrincipalCheck {
    // Empty when nothing in the document itself is refused; otherwise a text naming what is.
    std::wstring refusal;
    // The principal's UserId with XML white space trimmed; for the caller to match against an
    // account, which needs the system's account database.
    std::optional<std::wstring> userId;
};

// Accepts at most one principal, in Task/Principals/Principal of the task namespace, with no
// GroupId, a LogonType of InteractiveToken and a RunLevel of LeastPrivilege where they are
// given, and an Actions Context that names it. A document without a principal is accepted.
// Every other element must be one that task_schema lets through where it stands, and each value
// judged here must be one plain text node. `text` is the document exactly as it is handed on.
TaskPrincipalCheck checkTaskPrincipal(std::wstring_view text);

} // namespace qsh
