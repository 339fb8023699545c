#include "ledger.h"

#include "../../support/encoding.h"
#include "../../support/import_slots.h"

#include <oleauto.h>

#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace standin {
namespace {

struct ObjectRecord {
    std::wstring name;
    ULONG refs = 0;
};

struct State {
    SRWLOCK lock = SRWLOCK_INIT;
    bool started = false;
    std::wstring failName;
    unsigned failOccurrence = 0; // 0: every call
    HRESULT failResult = S_OK;
    std::wstring hangName;
    std::wstring nullBstrText;
    unsigned nullBstrIndex = 0;
    std::wstring ledgerPath;

    std::map<std::wstring, unsigned> callCounts;
    std::vector<ObjectRecord> objects;       // id - 1
    std::vector<int> held;                   // ids in order of acquisition
    std::map<BSTR, std::wstring> handedOut;  // BSTR -> label
    std::map<BSTR, std::wstring> helperMade; // BSTR -> text
    unsigned helperAllocations = 0;
    std::vector<std::wstring> journal;
    bool freesHooked = false;
    bool written = false;
};

// Never destroyed: hooks and the ledger run during process shutdown.
State& state() {
    static State* instance = new State;
    return *instance;
}

class Lock {
  public:
    Lock() { AcquireSRWLockExclusive(&state().lock); }
    ~Lock() { ReleaseSRWLockExclusive(&state().lock); }
};

void readEnvironment(State& s) {
    const std::wstring fail = environmentValue(L"QSH_STANDIN_TS_FAIL");
    if (const std::size_t colon = fail.rfind(L':'); colon != std::wstring::npos) {
        s.failName = fail.substr(0, colon);
        s.failResult = static_cast<HRESULT>(std::wcstoul(&fail[colon + 1], nullptr, 16));
        if (const std::size_t hash = s.failName.find(L'#'); hash != std::wstring::npos) {
            s.failOccurrence = static_cast<unsigned>(std::wcstoul(&fail[hash + 1], nullptr, 10));
            s.failName.resize(hash);
        }
    }
    s.hangName = environmentValue(L"QSH_STANDIN_TS_HANG");
    const std::wstring nullBstr = environmentValue(L"QSH_STANDIN_TS_NULL_BSTR");
    if (!nullBstr.empty() && nullBstr[0] == L'#') {
        s.nullBstrIndex = static_cast<unsigned>(std::wcstoul(nullBstr.c_str() + 1, nullptr, 10));
    } else {
        s.nullBstrText = nullBstr;
    }
    s.ledgerPath = environmentValue(L"QSH_STANDIN_TS_LEDGER");
}

// Accounts for a BSTR coming back to oleaut32. False when it is not alive as far as the
// ledger knows (freed twice, or never handed out).
bool accountFree(BSTR value, const wchar_t* how) {
    Lock lock;
    State& s = state();
    if (s.handedOut.erase(value) + s.helperMade.erase(value) != 0) {
        return true;
    }
    s.journal.push_back(std::wstring(L"! ") + how + L" of a BSTR that is not alive");
    return false;
}

BSTR WINAPI hookSysAllocStringLen(const OLECHAR* text, UINT length) {
    const std::wstring copy =
        text != nullptr ? std::wstring(text, length) : std::wstring(length, 0);
    {
        Lock lock;
        State& s = state();
        ++s.helperAllocations;
        const bool refuse = (s.nullBstrIndex != 0 && s.nullBstrIndex == s.helperAllocations) ||
                            (!s.nullBstrText.empty() && copy == s.nullBstrText);
        if (refuse) {
            s.nullBstrText.clear(); // once
            return nullptr;
        }
    }
    BSTR made = ::SysAllocStringLen(text, length);
    if (made != nullptr) {
        Lock lock;
        state().helperMade[made] = copy;
    }
    return made;
}

void WINAPI hookSysFreeString(BSTR value) {
    if (value == nullptr) {
        return;
    }
    // Freeing a dead BSTR again would corrupt the heap before the ledger is written.
    if (accountFree(value, L"SysFreeString")) {
        ::SysFreeString(value);
    }
}

HRESULT WINAPI hookVariantClear(VARIANTARG* value) {
    if (value != nullptr && V_VT(value) == VT_BSTR && V_BSTR(value) != nullptr &&
        !accountFree(V_BSTR(value), L"VariantClear")) {
        V_VT(value) = VT_EMPTY;
        return S_OK;
    }
    return ::VariantClear(value);
}

// Points the helper's imports of the BSTR functions at the hooks above. The helper is the
// process's main module; the stand-in's own imports stay untouched.
void hookHelperImports(State& s) {
    HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
    if (oleaut == nullptr) {
        return;
    }
    struct Target {
        const char* name;
        void* hook;
    };
    Target targets[] = {
        {"SysAllocStringLen", reinterpret_cast<void*>(&hookSysAllocStringLen)},
        {"SysFreeString", reinterpret_cast<void*>(&hookSysFreeString)},
        {"VariantClear", reinterpret_cast<void*>(&hookVariantClear)},
    };
    for (const Target& target : targets) {
        void* real = reinterpret_cast<void*>(GetProcAddress(oleaut, target.name));
        for (void** slot : qsh::testing::importSlotsOf(real)) {
            if (qsh::testing::writeSlot(slot, target.hook)) {
                s.freesHooked = s.freesHooked || std::string_view(target.name) == "SysFreeString";
            }
        }
    }
}

std::wstring ledgerText(const State& s) {
    std::wstring text;
    for (const std::wstring& entry : s.journal) {
        text += entry + L"\n";
    }
    for (const ObjectRecord& object : s.objects) {
        if (object.refs != 0) {
            text += L"! leak " + object.name + L" refs=" + std::to_wstring(object.refs) + L"\n";
        }
    }
    for (const auto& [value, label] : s.handedOut) {
        text += L"! unfreed " + label + L"\n";
    }
    for (const auto& [value, copy] : s.helperMade) {
        text += L"! unfreed helper BSTR " + copy + L"\n";
    }
    // Frees are what the BSTR checks rest on; the helper need not import every allocator.
    return s.freesHooked ? text : text + L"! BSTR frees not tracked\n";
}

} // namespace

void startLedger() {
    Lock lock;
    State& s = state();
    if (s.started) {
        return;
    }
    s.started = true;
    readEnvironment(s);
    hookHelperImports(s);
}

HRESULT enterCall(int object, const std::wstring& name, const std::wstring& detail, BSTR passed) {
    bool hang = false;
    HRESULT result = S_OK;
    {
        Lock lock;
        State& s = state();
        const unsigned count = ++s.callCounts[name];
        s.journal.push_back(L"call " + name + (detail.empty() ? L"" : L" " + detail));
        if (object > 0 && s.objects[object - 1].refs == 0) {
            s.journal.push_back(L"! call on released " + s.objects[object - 1].name);
        }
        for (const auto& [value, copy] : s.helperMade) {
            if (value != passed) {
                s.journal.push_back(L"! helper BSTR \"" + copy + L"\" still alive at " + name);
            }
        }
        hang = name == s.hangName;
        if (name == s.failName && (s.failOccurrence == 0 || s.failOccurrence == count)) {
            result = s.failResult;
        }
    }
    while (hang) {
        Sleep(INFINITE);
    }
    return result;
}

void recordFault(const std::wstring& text) {
    Lock lock;
    state().journal.push_back(L"! " + text);
}

int registerObject(const std::wstring& kind) {
    Lock lock;
    State& s = state();
    s.objects.push_back({kind + L"#" + std::to_wstring(s.objects.size() + 1), 0});
    return static_cast<int>(s.objects.size());
}

ULONG addRefObject(int id) {
    Lock lock;
    State& s = state();
    ObjectRecord& object = s.objects[id - 1];
    if (object.refs++ == 0) {
        s.held.push_back(id);
    }
    return object.refs;
}

ULONG releaseObject(int id) {
    Lock lock;
    State& s = state();
    ObjectRecord& object = s.objects[id - 1];
    if (object.refs == 0) {
        s.journal.push_back(L"! over-release of " + object.name);
        return 0;
    }
    if (--object.refs == 0) {
        if (s.held.back() != id) {
            s.journal.push_back(L"! " + object.name + L" released while " +
                                s.objects[s.held.back() - 1].name + L" is still held");
        }
        std::erase(s.held, id);
    }
    return object.refs;
}

BSTR handOutBstr(const std::wstring& text, const std::wstring& label) {
    BSTR value = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (value != nullptr) {
        Lock lock;
        state().handedOut[value] = label;
    }
    return value;
}

void finishLedger() {
    Lock lock;
    State& s = state();
    if (s.written || s.ledgerPath.empty()) {
        return;
    }
    s.written = true;
    const std::string bytes = qsh::testing::toUtf8(ledgerText(s));
    writeNewFile(s.ledgerPath, bytes.data(), static_cast<DWORD>(bytes.size()));
}

std::wstring environmentValue(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    return length < 4096 ? std::wstring(buffer, length) : std::wstring();
}

HRESULT writeNewFile(const std::wstring& path, const void* data, DWORD size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, data, size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok ? S_OK : E_FAIL;
}

std::wstring textOf(BSTR value) {
    return value != nullptr ? std::wstring(value, SysStringLen(value)) : std::wstring();
}

std::wstring describeVariant(const VARIANT& value) {
    if (V_VT(&value) == VT_BSTR) {
        if (V_BSTR(&value) == nullptr) {
            return L"BSTR(null)";
        }
        Lock lock;
        const auto label = state().handedOut.find(V_BSTR(&value));
        return L"BSTR:" + textOf(V_BSTR(&value)) +
               (label == state().handedOut.end() ? L" (not handed out)"
                                                 : L" (handed out: " + label->second + L")");
    }
    return V_VT(&value) == VT_EMPTY ? L"EMPTY" : L"VT" + std::to_wstring(V_VT(&value));
}

} // namespace standin
