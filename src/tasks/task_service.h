#pragma once

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <string>
#include <utility>

#include "base/com_ptr.h"
#include "base/com_values.h"

namespace qsh {

// The calling thread's place in the multithreaded apartment, with the process's COM security
// chosen; the apartment is left when this goes, if it was joined.
class ComApartment {
  public:
    ComApartment() = default;
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment();

    // False with the text of the step that failed in `error`.
    bool join(std::wstring& error);

  private:
    bool joined_ = false;
};

// The BSTR a call takes lives exactly as long as the call.
template <class Call> HRESULT callWithBstr(const std::wstring& text, Call call) {
    UniqueBstr value(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (value.get() == nullptr && !text.empty()) {
        return E_OUTOFMEMORY;
    }
    return call(value.get());
}

// Runs Task Scheduler calls one at a time: the first call that fails is kept under its phrase,
// and every later one is skipped.
class ComSteps {
  public:
    template <class Call> void run(const wchar_t* phrase, Call&& call) {
        if (!failed()) {
            check(phrase, std::forward<Call>(call)());
        }
    }
    // From here on `value` is freed as soon as a call fails.
    void freeOnFailure(UniqueBstr& value) { freedOnFailure_ = &value; }
    bool failed() const { return failedPhrase_ != nullptr; }
    // The phrase of the call that failed, " failed: " and its HRESULT.
    std::wstring failure() const;

  private:
    // One copy of the failure path for every call, rather than one per call.
    void check(const wchar_t* phrase, HRESULT hr);

    const wchar_t* failedPhrase_ = nullptr;
    HRESULT failedResult_ = S_OK;
    UniqueBstr* freedOnFailure_ = nullptr;
};

// The Task Scheduler of this computer, connected as the current user, and its root folder.
// Members in order of acquisition: destruction releases them in reverse.
struct TaskService {
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> rootFolder;
};

void openTaskService(ComSteps& steps, TaskService& scheduler);

} // namespace qsh
