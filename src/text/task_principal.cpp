#include "text/task_principal.h"

#include <array>
#include <cstdio>
#include <string_view>
#include <vector>

#include "text/xml_reader.h"

namespace qsh {
namespace {

constexpr std::wstring_view kTaskNamespace =
    L"http://schemas.microsoft.com/windows/2004/02/mit/task";
constexpr std::wstring_view kRefused = L"The task XML is refused: ";

// The Principal's children that may carry a value, in the order of `Principal::values`.
enum Value : std::size_t { UserId, GroupId, LogonType, RunLevel, DisplayName, kValueCount };
constexpr std::array<std::wstring_view, kValueCount> kValueNames = {
    L"UserId", L"GroupId", L"LogonType", L"RunLevel", L"DisplayName"};

// Elements that decide who a task runs as; anywhere but in their place they are refused, in
// any namespace and letter case, so that no reader can take them for something else.
constexpr std::array<std::wstring_view, 6> kGuardedNames = {
    L"Principal", L"Principals", L"UserId", L"GroupId", L"LogonType", L"RunLevel"};

enum class Role { Other, Task, Principals, Principal, Value, Actions };

struct Frame {
    Role role = Role::Other;
    std::size_t value = kValueCount;
};

struct Found {
    int principals = 0;
    std::optional<std::wstring> id;
    std::array<std::optional<std::wstring>, kValueCount> values;
    std::vector<std::optional<std::wstring>> contexts; // of each Task/Actions
};

std::wstring refused(std::wstring_view what) {
    return std::wstring(kRefused) + std::wstring(what);
}

bool sameFolded(std::wstring_view a, std::wstring_view b) {
    // Names of other lengths are most elements of a large document: no call for them.
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring_view trimmed(std::wstring_view text) {
    constexpr std::wstring_view kXmlSpace = L" \t\r\n";
    const std::size_t first = text.find_first_not_of(kXmlSpace);
    if (first == std::wstring_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kXmlSpace) + 1 - first);
}

struct Name {
    std::wstring_view uri;
    std::wstring_view local;
};

// Valid until the reader moves on.
Name currentName(IXmlReader* reader) {
    const wchar_t* uri = nullptr;
    const wchar_t* local = nullptr;
    UINT uriLength = 0;
    UINT localLength = 0;
    if (FAILED(reader->GetNamespaceUri(&uri, &uriLength)) ||
        FAILED(reader->GetLocalName(&local, &localLength))) {
        return {};
    }
    return {{uri, uriLength}, {local, localLength}};
}

std::wstring_view currentValue(IXmlReader* reader) {
    const wchar_t* value = nullptr;
    UINT length = 0;
    if (FAILED(reader->GetValue(&value, &length))) {
        return {};
    }
    return {value, length};
}

Frame placeOf(Role parent, std::size_t depth, const Name& name) {
    if (name.uri != kTaskNamespace) {
        return {};
    }
    if (depth == 0 && name.local == L"Task") {
        return {Role::Task};
    }
    if (parent == Role::Task && name.local == L"Principals") {
        return {Role::Principals};
    }
    if (parent == Role::Task && name.local == L"Actions") {
        return {Role::Actions};
    }
    if (parent == Role::Principals && name.local == L"Principal") {
        return {Role::Principal};
    }
    if (parent == Role::Principal) {
        for (std::size_t i = 0; i < kValueCount; ++i) {
            if (name.local == kValueNames[i]) {
                return {Role::Value, i};
            }
        }
    }
    return {};
}

std::wstring misplacedName(const Name& name) {
    for (std::wstring_view guarded : kGuardedNames) {
        if (sameFolded(name.local, guarded)) {
            return refused(L"a " + std::wstring(guarded) +
                           L" element is not in its place in the task namespace.");
        }
    }
    if (sameFolded(name.local, L"SecurityDescriptor")) {
        return refused(L"it has a SecurityDescriptor, which could let other users change the "
                       L"task.");
    }
    return {};
}

// The Principal's attributes: only its id.
std::wstring readPrincipalAttributes(IXmlReader* reader, Found& found) {
    for (HRESULT hr = reader->MoveToFirstAttribute(); hr == S_OK;
         hr = reader->MoveToNextAttribute()) {
        const Name name = currentName(reader);
        if (!name.uri.empty() || name.local != L"id") {
            return refused(L"its principal has an attribute other than id.");
        }
        found.id = std::wstring(currentValue(reader));
    }
    reader->MoveToElement();
    return {};
}

void readActionsContext(IXmlReader* reader, Found& found) {
    std::optional<std::wstring>& context = found.contexts.emplace_back();
    if (reader->MoveToAttributeByName(L"Context", L"") == S_OK) {
        context = std::wstring(currentValue(reader));
    }
    reader->MoveToElement();
}

// Steps into an element: refuses it, or pushes where it stands onto `stack`.
std::wstring enterElement(IXmlReader* reader, std::vector<Frame>& stack, Found& found) {
    const Role parent = stack.empty() ? Role::Other : stack.back().role;
    const Name name = currentName(reader);
    if (parent == Role::Value) {
        return refused(L"the principal's " + std::wstring(kValueNames[stack.back().value]) +
                       L" holds markup, not only text.");
    }
    const Frame frame = placeOf(parent, stack.size(), name);
    if (parent == Role::Principal && frame.role != Role::Value) {
        return refused(L"its principal has an element other than UserId, GroupId, LogonType, "
                       L"RunLevel and DisplayName.");
    }
    if (frame.role == Role::Other) {
        if (std::wstring why = misplacedName(name); !why.empty()) {
            return why;
        }
    }
    stack.push_back(frame);
    if (frame.role == Role::Principal && ++found.principals > 1) {
        return refused(L"it has more than one principal.");
    }
    if (frame.role == Role::Principal) {
        return readPrincipalAttributes(reader, found);
    }
    if (frame.role == Role::Actions) {
        readActionsContext(reader, found);
    }
    if (frame.role == Role::Value) {
        std::optional<std::wstring>& value = found.values[frame.value];
        if (value) {
            return refused(L"its principal has more than one " +
                           std::wstring(kValueNames[frame.value]) + L" element.");
        }
        value.emplace();
    }
    return {};
}

std::wstring parseFailure(IXmlReader* reader, HRESULT hr) {
    if (hr == static_cast<HRESULT>(WC_E_DTDPROHIBITED)) {
        return refused(L"it has a document type declaration.");
    }
    UINT line = 0;
    UINT column = 0;
    reader->GetLineNumber(&line);
    reader->GetLinePosition(&column);
    wchar_t where[96] = {};
    std::swprintf(where, 96, L"XmlLite error 0x%08X at line %u, column %u).",
                  static_cast<unsigned>(hr), line, column);
    return refused(L"it could not be parsed (" + std::wstring(where));
}

// One pass over the document; stops at the first thing refused.
std::wstring walk(IXmlReader* reader, Found& found) {
    std::vector<Frame> stack;
    XmlNodeType type = XmlNodeType_None;
    HRESULT hr = S_OK;
    while ((hr = reader->Read(&type)) == S_OK) {
        const bool inValue = !stack.empty() && stack.back().role == Role::Value;
        if (type == XmlNodeType_Element) {
            // Asked before the attributes are visited.
            const bool empty = reader->IsEmptyElement() != FALSE;
            if (std::wstring why = enterElement(reader, stack, found); !why.empty()) {
                return why;
            }
            if (empty) {
                stack.pop_back();
            }
        } else if (type == XmlNodeType_EndElement && !stack.empty()) {
            stack.pop_back();
        } else if (inValue && (type == XmlNodeType_Text || type == XmlNodeType_CDATA ||
                               type == XmlNodeType_Whitespace)) {
            *found.values[stack.back().value] += currentValue(reader);
        } else if (inValue) {
            return refused(L"the principal's " + std::wstring(kValueNames[stack.back().value]) +
                           L" holds markup, not only text.");
        }
    }
    return FAILED(hr) ? parseFailure(reader, hr) : std::wstring();
}

bool differs(const std::optional<std::wstring>& value, std::wstring_view wanted) {
    return value && trimmed(*value) != wanted;
}

std::wstring judge(const Found& found) {
    if (found.principals == 0) {
        return {}; // Context is then the Task Scheduler's to resolve
    }
    if (found.values[GroupId]) {
        return refused(L"its principal has a GroupId.");
    }
    if (differs(found.values[LogonType], L"InteractiveToken")) {
        return refused(L"its principal's LogonType is not InteractiveToken.");
    }
    if (differs(found.values[RunLevel], L"LeastPrivilege")) {
        return refused(L"its principal's RunLevel is not LeastPrivilege.");
    }
    for (const std::optional<std::wstring>& context : found.contexts) {
        if (context && (!found.id || *context != *found.id)) {
            return refused(L"its Actions Context does not name its principal.");
        }
    }
    return {};
}

bool hasUnpairedSurrogate(std::wstring_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IS_HIGH_SURROGATE(text[i]) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1])) {
            ++i;
        } else if (IS_HIGH_SURROGATE(text[i]) || IS_LOW_SURROGATE(text[i])) {
            return true;
        }
    }
    return false;
}

} // namespace

TaskPrincipalCheck checkTaskPrincipal(std::wstring_view text) {
    // Refused before reading: Wine's XmlLite never ends a text cut short inside a node.
    if (hasUnpairedSurrogate(text)) {
        return {refused(L"it holds an unpaired surrogate, which is no character."), std::nullopt};
    }
    std::wstring error;
    const XmlReader xml = openXmlReader(text, error);
    if (!xml.reader) {
        return {L"The task XML could not be checked: " + error, std::nullopt};
    }
    Found found;
    std::wstring why = walk(xml.reader.get(), found);
    if (!inputWasWhole(xml)) {
        why = L"The task XML could not be checked: it could not be handed to XmlLite whole.";
    }
    if (why.empty()) {
        why = judge(found);
    }
    if (!why.empty() || !found.values[UserId]) {
        return {std::move(why), std::nullopt};
    }
    return {{}, std::wstring(trimmed(*found.values[UserId]))};
}

} // namespace qsh
