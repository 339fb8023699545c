#include "ledger.h"

#include "../../support/encoding.h"
#include "../../support/import_slots.h"

#include <oleauto.h>

#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace standin {
namespace {

struct FailRule {
    std::wstring name;
    unsigned occurrence = 0; // 0: every call
    HRESULT hr = S_OK;
};

struct ObjectRecord {
    std::wstring name;
    ULONG refs = 0;
};

struct PatchedSlot {
    void** slot = nullptr;
    void* original = nullptr;
    const char* name = nullptr;
};

struct State {
    SRWLOCK lock = SRWLOCK_INIT;
    bool started = false;
    std::vector<FailRule> fails;
    std::vector<std::wstring> hangs;
    bool nullUser = false;
    std::wstring nullBstrText;
    unsigned nullBstrIndex = 0;
    bool nullBstrDone = false;
    std::wstring ledgerPath;

    std::map<std::wstring, unsigned> callCounts;
    unsigned calls = 0;
    unsigned instances = 0;
    std::vector<ObjectRecord> objects; // id - 1
    std::vector<int> held;             // ids in order of acquisition
    unsigned orderViolations = 0;

    std::map<BSTR, std::wstring> handedOut; // BSTR -> label
    unsigned handedOutTotal = 0;
    std::map<BSTR, std::wstring> helperMade; // BSTR -> text
    unsigned helperAllocations = 0;
    unsigned helperMadeTotal = 0;

    unsigned misuses = 0;
    std::vector<std::wstring> journal;
    std::vector<PatchedSlot> patched;
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
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

std::vector<std::wstring> splitList(const std::wstring& text) {
    std::vector<std::wstring> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(L';', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        if (end > start) {
            items.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return items;
}

std::wstring hex(HRESULT hr) {
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%08X", static_cast<unsigned>(hr));
    return digits;
}

void readEnvironment(State& s) {
    for (const std::wstring& item : splitList(environmentValue(L"QSH_STANDIN_TS_FAIL"))) {
        const std::size_t colon = item.rfind(L':');
        if (colon == std::wstring::npos) {
            continue;
        }
        FailRule rule;
        rule.name = item.substr(0, colon);
        rule.hr = static_cast<HRESULT>(std::wcstoul(item.c_str() + colon + 1, nullptr, 16));
        if (const std::size_t hash = rule.name.find(L'#'); hash != std::wstring::npos) {
            rule.occurrence =
                static_cast<unsigned>(std::wcstoul(&rule.name[hash + 1], nullptr, 10));
            rule.name.resize(hash);
        }
        s.fails.push_back(rule);
    }
    s.hangs = splitList(environmentValue(L"QSH_STANDIN_TS_HANG"));
    s.nullUser = environmentValue(L"QSH_STANDIN_TS_NULL_USER") == L"1";
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
    if (auto it = s.handedOut.find(value); it != s.handedOut.end()) {
        s.journal.push_back(std::wstring(L"free ") + how + L" " + it->second);
        s.handedOut.erase(it);
        return true;
    }
    if (auto it = s.helperMade.find(value); it != s.helperMade.end()) {
        s.helperMade.erase(it);
        return true;
    }
    ++s.misuses;
    s.journal.push_back(std::wstring(L"misuse ") + how + L" of a BSTR that is not alive");
    return false;
}

BSTR trackHelperAllocation(const OLECHAR* text, UINT length) {
    const std::wstring copy =
        text != nullptr ? std::wstring(text, length) : std::wstring(length, 0);
    {
        Lock lock;
        State& s = state();
        ++s.helperAllocations;
        const bool refuse = (s.nullBstrIndex != 0 && s.nullBstrIndex == s.helperAllocations) ||
                            (!s.nullBstrText.empty() && !s.nullBstrDone && copy == s.nullBstrText);
        if (refuse) {
            s.nullBstrDone = true;
            s.journal.push_back(L"bstr-null " + copy);
            return nullptr;
        }
    }
    BSTR made = ::SysAllocStringLen(text, length);
    if (made != nullptr) {
        Lock lock;
        state().helperMade[made] = copy;
        ++state().helperMadeTotal;
    }
    return made;
}

BSTR WINAPI hookSysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return trackHelperAllocation(text, static_cast<UINT>(std::wcslen(text)));
}

BSTR WINAPI hookSysAllocStringLen(const OLECHAR* text, UINT length) {
    return trackHelperAllocation(text, length);
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
    if (value != nullptr && V_VT(value) == VT_BSTR && V_BSTR(value) != nullptr) {
        if (!accountFree(V_BSTR(value), L"VariantClear")) {
            V_VT(value) = VT_EMPTY;
            return S_OK;
        }
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
        {"SysAllocString", reinterpret_cast<void*>(&hookSysAllocString)},
        {"SysAllocStringLen", reinterpret_cast<void*>(&hookSysAllocStringLen)},
        {"SysFreeString", reinterpret_cast<void*>(&hookSysFreeString)},
        {"VariantClear", reinterpret_cast<void*>(&hookVariantClear)},
    };
    for (const Target& target : targets) {
        void* real = reinterpret_cast<void*>(GetProcAddress(oleaut, target.name));
        for (void** slot : qsh::testing::importSlotsOf(real)) {
            if (qsh::testing::writeSlot(slot, target.hook)) {
                s.patched.push_back({slot, real, target.name});
            }
        }
    }
}

void unhookHelperImports(State& s) {
    for (const PatchedSlot& patch : s.patched) {
        qsh::testing::writeSlot(patch.slot, patch.original);
    }
    s.patched.clear();
}

std::wstring ledgerText(const State& s) {
    std::wstring text;
    auto line = [&text](const std::wstring& key, const std::wstring& value) {
        text += key + L"=" + value + L"\n";
    };
    unsigned live = 0;
    for (const ObjectRecord& object : s.objects) {
        live += object.refs != 0 ? 1 : 0;
    }
    line(L"created", std::to_wstring(s.instances));
    // Frees are what the leak counts rest on; the helper need not import every allocator.
    std::wstring hooked;
    bool freesTracked = false;
    for (const PatchedSlot& patch : s.patched) {
        hooked += (hooked.empty() ? L"" : L",") + qsh::testing::fromUtf8(patch.name);
        freesTracked = freesTracked || std::string_view(patch.name) == "SysFreeString";
    }
    line(L"bstr_tracking", freesTracked ? L"on" : L"off");
    line(L"hooked", hooked);
    line(L"calls", std::to_wstring(s.calls));
    line(L"objects", std::to_wstring(s.objects.size()));
    line(L"live_objects", std::to_wstring(live));
    line(L"order_violations", std::to_wstring(s.orderViolations));
    line(L"handed_out_bstrs", std::to_wstring(s.handedOutTotal));
    line(L"handed_out_unfreed", std::to_wstring(s.handedOut.size()));
    line(L"helper_bstrs", std::to_wstring(s.helperMadeTotal));
    line(L"helper_unfreed", std::to_wstring(s.helperMade.size()));
    line(L"misuse", std::to_wstring(s.misuses));
    for (const ObjectRecord& object : s.objects) {
        if (object.refs != 0) {
            text += L"leak " + object.name + L" refs=" + std::to_wstring(object.refs) + L"\n";
        }
    }
    for (const auto& [value, label] : s.handedOut) {
        text += L"unfreed " + label + L"\n";
    }
    for (const auto& [value, copy] : s.helperMade) {
        text += L"unfreed helper BSTR " + copy + L"\n";
    }
    for (const std::wstring& entry : s.journal) {
        text += L"> " + entry + L"\n";
    }
    return text;
}

void writeLedgerFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
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

HRESULT enterCall(int object, const std::wstring& name, const std::wstring& detail,
                  std::initializer_list<BSTR> bstrArgs) {
    bool hang = false;
    HRESULT result = S_OK;
    {
        Lock lock;
        State& s = state();
        ++s.calls;
        const unsigned count = ++s.callCounts[name];
        s.journal.push_back(L"call " + name + (detail.empty() ? L"" : L" " + detail));
        if (object > 0 && s.objects[object - 1].refs == 0) {
            ++s.misuses;
            s.journal.push_back(L"misuse call on released " + s.objects[object - 1].name);
        }
        for (const auto& [value, copy] : s.helperMade) {
            bool passed = false;
            for (BSTR arg : bstrArgs) {
                passed = passed || arg == value;
            }
            if (!passed) {
                ++s.misuses;
                s.journal.push_back(L"misuse helper BSTR \"" + copy + L"\" still alive at " + name);
            }
        }
        for (const std::wstring& hangName : s.hangs) {
            hang = hang || hangName == name;
        }
        for (const FailRule& rule : s.fails) {
            if (rule.name == name && (rule.occurrence == 0 || rule.occurrence == count)) {
                result = rule.hr;
                s.journal.push_back(L"fail " + name + L" " + hex(rule.hr));
                break;
            }
        }
    }
    if (hang) {
        for (;;) {
            Sleep(INFINITE);
        }
    }
    return result;
}

int registerObject(const std::wstring& kind) {
    Lock lock;
    State& s = state();
    unsigned same = 1;
    for (const ObjectRecord& object : s.objects) {
        same += object.name.rfind(kind + L"#", 0) == 0 ? 1 : 0;
    }
    s.objects.push_back({kind + L"#" + std::to_wstring(same), 0});
    return static_cast<int>(s.objects.size());
}

ULONG addRefObject(int id) {
    Lock lock;
    State& s = state();
    ObjectRecord& object = s.objects[id - 1];
    if (object.refs++ == 0) {
        s.held.push_back(id);
        s.journal.push_back(L"acquire " + object.name);
    }
    return object.refs;
}

ULONG releaseObject(int id) {
    Lock lock;
    State& s = state();
    ObjectRecord& object = s.objects[id - 1];
    if (object.refs == 0) {
        ++s.misuses;
        s.journal.push_back(L"misuse over-release of " + object.name);
        return 0;
    }
    if (--object.refs == 0) {
        s.journal.push_back(L"release " + object.name);
        if (!s.held.empty() && s.held.back() == id) {
            s.held.pop_back();
        } else {
            ++s.orderViolations;
            s.journal.push_back(L"order-violation " + object.name + L" released while " +
                                s.objects[s.held.back() - 1].name + L" is still held");
            std::erase(s.held, id);
        }
    }
    return object.refs;
}

BSTR handOutBstr(const std::wstring& text, const std::wstring& label) {
    BSTR value = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (value != nullptr) {
        Lock lock;
        state().handedOut[value] = label;
        ++state().handedOutTotal;
        state().journal.push_back(L"hand-out " + label);
    }
    return value;
}

std::wstring handedOutLabel(BSTR value) {
    Lock lock;
    auto it = state().handedOut.find(value);
    return it != state().handedOut.end() ? it->second : std::wstring();
}

bool connectedUserIsNull() {
    Lock lock;
    return state().nullUser;
}

void noteEvent(const std::wstring& line) {
    Lock lock;
    state().journal.push_back(line);
}

void noteInstanceCreated() {
    Lock lock;
    ++state().instances;
}

void finishLedger(bool processEnding) {
    Lock lock;
    State& s = state();
    if (!processEnding) {
        unhookHelperImports(s);
    }
    if (s.written || s.ledgerPath.empty()) {
        return;
    }
    s.written = true;
    writeLedgerFile(s.ledgerPath, qsh::testing::toUtf8(ledgerText(s)));
}

std::wstring environmentValue(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    if (length == 0 || length >= 4096) {
        return {};
    }
    return std::wstring(buffer, length);
}

std::wstring textOf(BSTR value) {
    return value != nullptr ? std::wstring(value, SysStringLen(value)) : std::wstring();
}

std::wstring describeVariant(const VARIANT& value) {
    if (V_VT(&value) == VT_EMPTY) {
        return L"EMPTY";
    }
    if (V_VT(&value) == VT_BSTR) {
        if (V_BSTR(&value) == nullptr) {
            return L"BSTR(null)";
        }
        return L"BSTR:" + textOf(V_BSTR(&value));
    }
    return L"VT" + std::to_wstring(V_VT(&value));
}

} // namespace standin
