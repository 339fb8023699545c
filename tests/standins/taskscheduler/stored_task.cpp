#include "stored_task.h"

#include <cstdlib>
#include <cwctype>
#include <string_view>
#include <utility>

#include "../../support/encoding.h"
#include "ledger.h"

namespace standin {
namespace {

// One tag of a document: where it lies, its local name (any prefix dropped) and its kind.
// Comments, CDATA sections and declarations come out as tags of odd names, which nobody asks for.
struct Tag {
    std::size_t begin = 0;
    std::size_t end = 0; // past its '>'
    std::wstring local;
    bool closing = false;
    bool selfClosing = false;
};

std::optional<Tag> nextTag(const std::wstring& xml, std::size_t from) {
    const std::size_t open = xml.find(L'<', from);
    const std::size_t close = open == std::wstring::npos ? open : xml.find(L'>', open);
    if (close == std::wstring::npos) {
        return std::nullopt;
    }
    Tag tag{open, close + 1};
    tag.closing = xml[open + 1] == L'/';
    const std::size_t nameStart = open + 1 + (tag.closing ? 1 : 0);
    const std::size_t nameEnd = std::min(xml.find_first_of(L" \t\r\n/>", nameStart), close);
    const std::wstring name = xml.substr(nameStart, nameEnd - nameStart);
    const std::size_t colon = name.find(L':');
    tag.local = colon == std::wstring::npos ? name : name.substr(colon + 1);
    tag.selfClosing = xml[close - 1] == L'/';
    return tag;
}

// Where the content of the first element `local` within [from, to) begins and ends. The
// stand-in's documents do not nest an element in one of the same name.
std::optional<std::pair<std::size_t, std::size_t>>
contentOf(const std::wstring& xml, const std::wstring& local, std::size_t from, std::size_t to) {
    std::optional<Tag> start = nextTag(xml, from);
    while (start && start->end <= to && (start->closing || start->local != local)) {
        start = nextTag(xml, start->end);
    }
    if (!start || start->end > to) {
        return std::nullopt;
    }
    if (start->selfClosing) {
        return std::pair(start->end, start->end);
    }
    for (std::optional<Tag> end = nextTag(xml, start->end); end && end->end <= to;
         end = nextTag(xml, end->end)) {
        if (end->closing && end->local == local) {
            return std::pair(start->end, end->begin);
        }
    }
    return std::nullopt;
}

// The text of a principal's child element, CDATA markers dropped and white space trimmed.
std::optional<std::wstring> principalValue(const std::wstring& xml, const std::wstring& name) {
    const auto principals = contentOf(xml, L"Principals", 0, xml.size());
    const auto value =
        principals ? contentOf(xml, name, principals->first, principals->second) : std::nullopt;
    if (!value) {
        return std::nullopt;
    }
    std::wstring text = xml.substr(value->first, value->second - value->first);
    for (const std::wstring_view marker : {L"<![CDATA[", L"]]>"}) {
        for (std::size_t at; (at = text.find(marker)) != std::wstring::npos;) {
            text.erase(at, marker.size());
        }
    }
    while (!text.empty() && std::iswspace(text.back())) {
        text.pop_back();
    }
    std::size_t lead = 0;
    while (lead < text.size() && std::iswspace(text[lead])) {
        ++lead;
    }
    return text.substr(lead);
}

TASK_LOGON_TYPE logonTypeOf(const std::wstring& text) {
    static const std::pair<const wchar_t*, TASK_LOGON_TYPE> kNames[] = {
        {L"Password", TASK_LOGON_PASSWORD},
        {L"S4U", TASK_LOGON_S4U},
        {L"InteractiveToken", TASK_LOGON_INTERACTIVE_TOKEN},
        {L"InteractiveTokenOrPassword", TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD}};
    for (const auto& [name, type] : kNames) {
        if (text == name) {
            return type;
        }
    }
    // The stand-in stores the types without a schema name as numbers.
    return static_cast<TASK_LOGON_TYPE>(std::wcstol(text.c_str(), nullptr, 10));
}

} // namespace

std::wstring storeFolder() {
    const std::wstring folder = environmentValue(L"QSH_STANDIN_TASKS_DIR");
    return folder.empty() ? L"C:\\windows\\system32\\Tasks" : folder;
}

std::optional<std::wstring> readStoredTask(const std::wstring& name) {
    HANDLE file = CreateFileW((storeFolder() + L"\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    std::string bytes;
    DWORD got = 0;
    if (GetFileSizeEx(file, &size)) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    }
    CloseHandle(file);
    bytes.resize(got);
    return bytes.starts_with("\xFF\xFE") ? qsh::testing::fromUtf16(bytes) : std::nullopt;
}

StoredPrincipal storedPrincipal(const std::wstring& xml, const std::wstring& registeringUser) {
    StoredPrincipal principal;
    principal.userId = principalValue(xml, L"UserId").value_or(registeringUser);
    principal.groupId = principalValue(xml, L"GroupId").value_or(L"");
    if (const auto logonType = principalValue(xml, L"LogonType")) {
        principal.logonType = logonTypeOf(*logonType);
    }
    if (const auto runLevel = principalValue(xml, L"RunLevel")) {
        principal.runLevel =
            *runLevel == L"LeastPrivilege" ? TASK_RUNLEVEL_LUA : TASK_RUNLEVEL_HIGHEST;
    }
    return principal;
}

} // namespace standin
