#pragma once

namespace qsh {

// Reads the principal of the task that schtasks.exe registered back from the Task Scheduler:
// Windows' own answer, whatever its defaults and its parser made of the document. Keeps the
// task only when it runs as the user who asked, with an interactive token and least privilege,
// and names no group; otherwise deletes it and reports why. Returns 0, or 4 after the report.
int keepOnlyTheAskingUsersTask();

} // namespace qsh
