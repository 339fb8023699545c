#include "text/task_principal.h"

#include <array>
#include <cstdio>
#include <string_view>
#include <vector>

#include "text/task_schema.h"
#include "text/xml_reader.h"

namespace qsh {
namespace {

constexpr std::wstring_view kTaskNamespace =
    L"http://schemas.microsoft.com/windows/2004/02/mit/task";
constexpr std::wstring_view kRefused = L"The task XML is refused: ";

// The values that are judged, in the order of `Found::values`: the principal's, then Priority.
enum Value : std::size_t {
    UserId,
    GroupId,
    LogonType,
    RunLevel,
    DisplayName,
    Priority,
    kValueCount
};
struct ValueName {
    std::wstring_view name;
    std::wstring_view owner;
};
constexpr std::array<ValueName, kValueCount> kValues = {{{L"UserId", L"principal"},
                                                         {L"GroupId", L"principal"},
                                                         {L"LogonType", L"principal"},
                                                         {L"RunLevel", L"principal"},
                                                         {L"DisplayName", L"principal"},
                                                         {L"Priority", L"Settings element"}}};

// Elements that decide who a task runs as; anywhere but in their place they are refused, in
// any namespace and letter case, so that no reader can take them for something else.
constexpr std::array<std::wstring_view, 6> kGuardedNames = {
    L"Principal", L"Principals", L"UserId", L"GroupId", L"LogonType", L"RunLevel"};

// A Task in no namespace is let through only empty: whatever it held would be in no namespace.
constexpr TaskElement kBareTask = {L"Task", TaskPlace::BareTask};

struct Frame {
    TaskPlace place = TaskPlace::Document;
    std::wstring_view name; // as the table spells it
    std::size_t value = kValueCount;
    bool hasText = false;
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

// "the principal's RunLevel" and what is said of it.
std::wstring aboutValue(std::size_t value, std::wstring_view said) {
    return refused(L"the " + std::wstring(kValues[value].owner) + L"'s " +
                   std::wstring(kValues[value].name) + std::wstring(said));
}

// A name from the document, cut short: it could be as long as the document.
std::wstring shown(std::wstring_view name) {
    constexpr std::size_t kShown = 64;
    if (name.size() <= kShown) {
        return std::wstring(name);
    }
    const std::size_t cut = IS_HIGH_SURROGATE(name[kShown - 1]) ? kShown - 1 : kShown;
    return std::wstring(name.substr(0, cut)) + L"...";
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

// Where `name` stands as a child of `parent`, or why it is refused there; nullptr when it is
// not let through there.
const TaskElement* placeOf(TaskPlace parent, const Name& name) {
    if (name.uri == kTaskNamespace) {
        return taskChild(parent, name.local);
    }
    if (parent == TaskPlace::Document && name.uri.empty() && name.local == L"Task") {
        return &kBareTask;
    }
    return nullptr;
}

std::size_t valueOf(std::wstring_view name) {
    std::size_t value = 0;
    while (value < kValueCount && kValues[value].name != name) {
        ++value;
    }
    return value;
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

// An element that is not let through where it stands: the texts of the older checks first.
std::wstring notLetThrough(const Name& name, const TaskElement* element, std::wstring_view parent) {
    if (std::wstring why = misplacedName(name); !why.empty()) {
        return why;
    }
    if (element != nullptr) {
        return refused(L"it has " + std::wstring(element->reason));
    }
    const std::wstring where = L"the element " + shown(name.local) + L" in " + std::wstring(parent);
    if (name.uri != kTaskNamespace) {
        return refused(where + L" is outside the task namespace.");
    }
    return refused(where + L" is not one that the helper lets through.");
}

// What an element that is let through brings with it.
std::wstring enterPlace(IXmlReader* reader, Frame& frame, Found& found) {
    if (frame.place == TaskPlace::Principal) {
        if (++found.principals > 1) {
            return refused(L"it has more than one principal.");
        }
        return readPrincipalAttributes(reader, found);
    }
    if (frame.place == TaskPlace::Actions) {
        readActionsContext(reader, found);
    }
    if (frame.place == TaskPlace::Value) {
        frame.value = valueOf(frame.name);
        std::optional<std::wstring>& value = found.values[frame.value];
        if (value) {
            return refused(L"its " + std::wstring(kValues[frame.value].owner) +
                           L" has more than one " + std::wstring(frame.name) + L" element.");
        }
        value.emplace();
    }
    return {};
}

// Steps into an element: refuses it, or pushes where it stands onto `stack`.
std::wstring enterElement(IXmlReader* reader, std::vector<Frame>& stack, Found& found) {
    const Frame parent = stack.empty() ? Frame{} : stack.back();
    const Name name = currentName(reader);
    if (parent.place == TaskPlace::Value) {
        return aboutValue(parent.value, L" holds markup, not only text.");
    }
    const TaskElement* element = placeOf(parent.place, name);
    const bool letThrough = element != nullptr && element->place != TaskPlace::Refused;
    if (parent.place == TaskPlace::Principal && !letThrough) {
        return refused(L"its principal has an element other than UserId, GroupId, LogonType, "
                       L"RunLevel and DisplayName.");
    }
    if (!letThrough) {
        return notLetThrough(name, element, stack.empty() ? L"the document" : parent.name);
    }
    return enterPlace(reader, stack.emplace_back(Frame{element->place, element->name}), found);
}

// A value is one plain text node, read as it stands: joined pieces or a CDATA section could be
// read otherwise by another parser.
std::wstring takeValueText(IXmlReader* reader, XmlNodeType type, Frame& frame, Found& found) {
    if (frame.hasText) {
        return aboutValue(frame.value, L" is not one piece of text.");
    }
    if (type == XmlNodeType_CDATA) {
        return aboutValue(frame.value, L" has a CDATA section, not plain text.");
    }
    frame.hasText = true;
    *found.values[frame.value] = currentValue(reader);
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
        const bool inValue = !stack.empty() && stack.back().place == TaskPlace::Value;
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
            if (std::wstring why = takeValueText(reader, type, stack.back(), found); !why.empty()) {
                return why;
            }
        } else if (inValue) {
            return aboutValue(stack.back().value, L" holds markup, not only text.");
        }
    }
    return FAILED(hr) ? parseFailure(reader, hr) : std::wstring();
}

bool differs(const std::optional<std::wstring>& value, std::wstring_view wanted) {
    return value && trimmed(*value) != wanted;
}

std::wstring judgePrincipal(const Found& found) {
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

// 4 to 10 run at the normal priority class or below, as the user's own programs may; 0 is real
// time, which needs a privilege that standard users do not hold.
bool withinNormalClass(std::wstring_view priority) {
    return (priority.size() == 1 && priority[0] >= L'4' && priority[0] <= L'9') ||
           priority == L"10";
}

std::wstring judge(const Found& found) {
    if (std::wstring why = judgePrincipal(found); !why.empty()) {
        return why;
    }
    const std::optional<std::wstring>& priority = found.values[Priority];
    if (priority && !withinNormalClass(trimmed(*priority))) {
        return refused(L"its Priority is not one of 4 to 10, which run the task at the normal "
                       L"priority class or below.");
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
