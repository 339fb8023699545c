// COM start-up of apply-times, run in this process with the test executable's imports of
// CoInitializeEx, CoInitializeSecurity and CoUninitialize pointed at fakes: the outcomes
// that no real process start can provoke (security already chosen, COM refusing to start).
// The Task Scheduler it reaches is the test prefix's stand-in, loaded into this process.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "import_slots.h"
#include "sandbox.h"
#include "tasks/apply_times.h"

namespace {

using namespace qsh::testing;

// Points this executable's import of one function at a replacement while alive.
class ImportPatch {
  public:
    ImportPatch(const char* dll, const char* name, void* replacement)
        : original_(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), name))) {
        for (void** slot : importSlotsOf(original_)) {
            if (writeSlot(slot, replacement)) {
                slots_.push_back(slot);
            }
        }
    }
    ~ImportPatch() {
        for (void** slot : slots_) {
            writeSlot(slot, original_);
        }
    }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool active() const { return !slots_.empty(); }
    void* original() const { return original_; }

  private:
    void* original_ = nullptr;
    std::vector<void**> slots_;
};

using CoInitializeExFn = HRESULT(WINAPI*)(LPVOID, DWORD);
using CoInitializeSecurityFn = HRESULT(WINAPI*)(PSECURITY_DESCRIPTOR, LONG,
                                                SOLE_AUTHENTICATION_SERVICE*, void*, DWORD, DWORD,
                                                void*, DWORD, void*);
using CoUninitializeFn = void(WINAPI*)();

// What the fakes answer and what they saw.
struct ComFakes {
    HRESULT initializeResult = S_OK; // failure: returned without initializing
    HRESULT securityResult = S_OK;
    int initializeCalls = 0;
    int securityCalls = 0;
    int uninitializeCalls = 0;
    DWORD model = 0;
    DWORD authnLevel = 0;
    DWORD impLevel = 0;
    CoInitializeExFn realInitialize = nullptr;
    CoUninitializeFn realUninitialize = nullptr;
};
ComFakes fakes;

HRESULT WINAPI fakeCoInitializeEx(LPVOID reserved, DWORD model) {
    ++fakes.initializeCalls;
    fakes.model = model;
    if (FAILED(fakes.initializeResult)) {
        return fakes.initializeResult;
    }
    return fakes.realInitialize(reserved, model);
}

HRESULT WINAPI fakeCoInitializeSecurity(PSECURITY_DESCRIPTOR, LONG, SOLE_AUTHENTICATION_SERVICE*,
                                        void*, DWORD authnLevel, DWORD impLevel, void*, DWORD,
                                        void*) {
    ++fakes.securityCalls;
    fakes.authnLevel = authnLevel;
    fakes.impLevel = impLevel;
    return fakes.securityResult;
}

void WINAPI fakeCoUninitialize() {
    ++fakes.uninitializeCalls;
    fakes.realUninitialize();
}

class ApplyTimesComStartup : public SandboxTest {
  protected:
    void SetUp() override {
        useHere();
        fakes = ComFakes{};
        fakes.realInitialize = reinterpret_cast<CoInitializeExFn>(initialize_.original());
        fakes.realUninitialize = reinterpret_cast<CoUninitializeFn>(uninitialize_.original());
        ASSERT_TRUE(initialize_.active() && security_.active() && uninitialize_.active());
    }
    std::string lastLogLine() const {
        const std::vector<std::string> log = logHere();
        return log.empty() ? "(no log)" : log.back();
    }

    const std::wstring out = files / L"out.xml";

    ImportPatch initialize_{"ole32.dll", "CoInitializeEx",
                            reinterpret_cast<void*>(&fakeCoInitializeEx)};
    ImportPatch security_{"ole32.dll", "CoInitializeSecurity",
                          reinterpret_cast<void*>(&fakeCoInitializeSecurity)};
    ImportPatch uninitialize_{"ole32.dll", "CoUninitialize",
                              reinterpret_cast<void*>(&fakeCoUninitialize)};
};

TEST_F(ApplyTimesComStartup, ComThatWillNotStartIsReportedWithoutUninitializing) {
    fakes.initializeResult = RPC_E_CHANGED_MODE;
    EXPECT_EQ(qsh::handleApplyTimes(L"07:30:00", out), 1);
    EXPECT_EQ(fakes.model, static_cast<DWORD>(COINIT_MULTITHREADED));
    EXPECT_EQ(fakes.securityCalls, 0);
    EXPECT_EQ(fakes.uninitializeCalls, 0);
    EXPECT_EQ(lastLogLine(), "Could not initialize COM: " + hresultText(RPC_E_CHANGED_MODE));
}

TEST_F(ApplyTimesComStartup, RefusedSecurityIsReportedAndComUninitialized) {
    fakes.securityResult = E_ACCESSDENIED;
    EXPECT_EQ(qsh::handleApplyTimes(L"07:30:00", out), 1);
    EXPECT_EQ(fakes.authnLevel, static_cast<DWORD>(RPC_C_AUTHN_LEVEL_PKT_PRIVACY));
    EXPECT_EQ(fakes.impLevel, static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE));
    EXPECT_EQ(fakes.uninitializeCalls, 1);
    EXPECT_EQ(lastLogLine(), "Could not initialize COM security: " + hresultText(E_ACCESSDENIED));
}

// Security chosen earlier in the process (RPC_E_TOO_LATE) serves as well: the task is
// registered through the stand-in loaded into this process.
TEST_F(ApplyTimesComStartup, SecurityAlreadySetDoesNotStopTheCommand) {
    fakes.securityResult = RPC_E_TOO_LATE;
    EXPECT_EQ(qsh::handleApplyTimes(L"07:30:00", out), 0);
    EXPECT_EQ(fakes.initializeCalls, 1);
    EXPECT_EQ(fakes.uninitializeCalls, 1);
    EXPECT_TRUE(fileExists(taskFile()));
    EXPECT_TRUE(fileExists(out));
    EXPECT_EQ(lastLogLine(), "Applied 1 daily trigger(s) and wrote task XML to " + toUtf8(out));
}

} // namespace
