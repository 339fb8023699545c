#pragma once

// One place for what every test of a started helper needs: a folder tree of its own
// (LOCALAPPDATA, the stand-ins' task store, input and output files), the stand-in
// switches, the expected result lines and a log matcher that looks for lines in order
// without fixing where they stand.

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../standins/schtasks/standin_record.h"
#include "encoding.h"
#include "helper_process.h"

namespace qsh::testing {

// The line on standard output, CR LF included.
std::string resultLine(int code, const std::string& message);
// The same result as the log states it.
std::string logResult(int code, const std::string& message);
// The system's text for an error or HRESULT, without its line end (UTF-8).
std::string systemText(DWORD code);
// "HRESULT 0x8007000E (text)", as the helper reports a failed COM call.
std::string hresultText(HRESULT hr);

// UTF-16 LE bytes with their mark, as the stores keep tasks; nullopt for anything else.
std::optional<std::wstring> fromUtf16le(const std::optional<std::string>& bytes);

// A Task document as the calling application might write it; `description` makes room for
// text outside ASCII.
std::wstring taskBody(const std::wstring& description = L"Quillfen caf\u00E9 run");
std::wstring declaration(const std::wstring& encoding);

// One expected log message: the whole message, or only its start.
struct Line {
    std::string text;
    bool prefix = false;
    Line(std::string whole) : text(std::move(whole)) {}
    Line(const char* whole) : text(whole) {}
    Line(std::string start, bool isPrefix) : text(std::move(start)), prefix(isPrefix) {}
    bool matches(const std::string& message) const;
};
inline Line startsWith(std::string start) {
    return Line(std::move(start), true);
}

bool hasLine(const std::vector<std::string>& log, const Line& line);
// Each expected line appears after the one before it; lines in between are allowed.
::testing::AssertionResult linesInOrder(const std::vector<std::string>& log,
                                        const std::vector<Line>& expected);

// Sets (or with nullopt removes) a variable of this process and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(std::wstring name, const std::optional<std::wstring>& value);
    // Only keeps the value, for a test that changes the variable itself.
    explicit ScopedEnv(std::wstring name);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};

using Switches = std::vector<std::pair<std::wstring, std::wstring>>;

// QSH_STANDIN_SCHTASKS_<name>, described in schtasks_standin.cpp.
inline std::pair<std::wstring, std::wstring> schtasksSwitch(const std::wstring& name,
                                                            std::wstring value) {
    return {L"QSH_STANDIN_SCHTASKS_" + name, std::move(value)};
}

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // A space in the folder name makes every path the helper hands on need quoting.
    std::wstring localAppData() const { return local / L"app data"; }
    std::wstring stagingFolder() const { return localAppData() + L"\\Quillfen\\temp"; }
    std::wstring helperFolder() const { return localAppData() + L"\\Quillfen\\helper"; }
    std::wstring logPath() const { return logFilePath(localAppData()); }
    std::wstring taskFile(const std::wstring& name = L"Quillfen") const { return store / name; }
    std::wstring recordPath() const { return local / L"schtasks-calls.txt"; }
    std::wstring ledgerPath() const { return local / L"taskschd-ledger.txt"; }

    // A run with this sandbox's LOCALAPPDATA, task store, call record and ledger; `env`
    // adds variables, such as the stand-ins' QSH_STANDIN_* switches.
    HelperRun request(std::vector<std::wstring> args, const Switches& env = {}) const;
    // Starts a request and expects it to start and end by itself.
    HelperOutcome start(const HelperRun& run) const;
    HelperOutcome start(std::vector<std::wstring> args, const Switches& env = {}) const;
    std::vector<HelperOutcome> startTogether(const std::vector<HelperRun>& runs) const;
    // qsh-stage-driver, an elevated process that stages `helper` and relaunches it through
    // the helper's own code (tests/drivers/stage_driver.cpp).
    HelperRun driverRun(const std::wstring& helper, std::vector<std::wstring> args,
                        const Switches& env = {}) const;

    // qsh-caller-probe, the helper's own code with test hooks (tests/drivers/caller_probe.cpp).
    HelperRun probeRun(std::vector<std::wstring> args, const Switches& env = {}) const;

    // Messages of one run in order; lines of an earlier run with the same process id (Wine
    // reuses them soon) are not counted.
    std::vector<std::string> logOf(const HelperOutcome& outcome) const;
    std::vector<qsh::standin::SchtasksCall> calls() const;
    std::vector<std::wstring> filesIn(const std::wstring& folder) const;

    // The same folders and switches for program code called inside this test process;
    // put back when the sandbox goes.
    void useHere(const Switches& env = {});
    // What program code called inside this test process logged, in order.
    std::vector<std::string> logHere() const;

    TempDir local;
    TempDir store;
    TempDir files;

  private:
    std::vector<std::unique_ptr<ScopedEnv>> here_;
};

// A sandbox per test.
class SandboxTest : public ::testing::Test, public Sandbox {};

} // namespace qsh::testing
