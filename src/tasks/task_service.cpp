#include "tasks/task_service.h"

#include "base/windows_error.h"

namespace qsh {
namespace {

// Defined here so that no toolchain import library is needed for them.
constexpr CLSID kClsidTaskScheduler = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID kIidTaskService = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};

HRESULT connectToThisComputer(ITaskService* service) {
    // Empty values: the local computer, the current user, no domain, no password.
    const UniqueVariant server, user, domain, password;
    return service->Connect(server.get(), user.get(), domain.get(), password.get());
}

} // namespace

ComApartment::~ComApartment() {
    if (joined_) {
        CoUninitialize();
    }
}

bool ComApartment::join(std::wstring& error) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        error = L"Could not initialize COM: " + formatHresult(hr);
        return false;
    }
    joined_ = true;
    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    // RPC_E_TOO_LATE: the process already chose its security; that one serves as well.
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
        error = L"Could not initialize COM security: " + formatHresult(hr);
        return false;
    }
    return true;
}

std::wstring ComSteps::failure() const {
    return failed() ? std::wstring(failedPhrase_) + L" failed: " + formatHresult(failedResult_)
                    : std::wstring();
}

void ComSteps::check(const wchar_t* phrase, HRESULT hr) {
    if (SUCCEEDED(hr)) {
        return;
    }
    failedPhrase_ = phrase;
    failedResult_ = hr;
    if (freedOnFailure_ != nullptr) {
        freedOnFailure_->reset();
    }
}

void openTaskService(ComSteps& steps, TaskService& scheduler) {
    steps.run(L"Creating Task Scheduler service", [&] {
        return CoCreateInstance(kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kIidTaskService,
                                scheduler.service.putVoid());
    });
    steps.run(L"Connecting to Task Scheduler",
              [&] { return connectToThisComputer(scheduler.service.get()); });
    steps.run(L"Opening the Task Scheduler root folder", [&] {
        return callWithBstr(L"\\", [&](BSTR path) {
            return scheduler.service->GetFolder(path, scheduler.rootFolder.put());
        });
    });
}

} // namespace qsh
