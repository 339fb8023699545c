#include "text/task_xml.h"

#include <cwctype>
#include <string_view>

#include "base/utf8.h"

namespace qsh {

namespace {

constexpr auto npos = std::wstring::npos;

bool isLeadingNoise(wchar_t unit) {
    return unit == L'\0' || unit == 0xFEFF || std::iswspace(static_cast<std::wint_t>(unit)) != 0;
}

// First position at or after `from`, and not after `lastStart`, where `needle` (lower case)
// matches the text folded unit by unit as lowerCopy folds it: the position that searching a
// lower-cased copy would give, without making a copy of a document that may be large.
std::size_t findFolded(std::wstring_view text, std::wstring_view needle, std::size_t from,
                       std::size_t lastStart = npos) {
    if (needle.empty() || needle.size() > text.size()) {
        return npos;
    }
    std::size_t end = text.size() - needle.size() + 1;
    if (lastStart < end) {
        end = lastStart + 1;
    }
    const wchar_t first = needle[0];
    for (std::size_t at = from; at < end; ++at) {
        if (lowerUnit(text[at]) != first) {
            continue;
        }
        std::size_t matched = 1;
        while (matched < needle.size() && lowerUnit(text[at + matched]) == needle[matched]) {
            ++matched;
        }
        if (matched == needle.size()) {
            return at;
        }
    }
    return npos;
}

// First of the two quote characters, folded, in [from, lastStart].
std::size_t findFoldedQuote(std::wstring_view text, std::size_t from, std::size_t lastStart) {
    for (std::size_t at = from; at < text.size() && at <= lastStart; ++at) {
        const wchar_t unit = lowerUnit(text[at]);
        if (unit == L'"' || unit == L'\'') {
            return at;
        }
    }
    return npos;
}

} // namespace

bool looksLikeTaskXml(const std::wstring& text) {
    return findFolded(text, L"<task", 0) != npos && findFolded(text, L"</task>", 0) != npos;
}

void stripLeadingBomAndNoise(std::wstring& text) {
    std::size_t skipped = 0;
    while (skipped < text.size() && (text[skipped] == L'\0' || text[skipped] == 0xFEFF)) {
        ++skipped;
    }
    text.erase(0, skipped);

    const std::size_t declaration = text.find(L"<?xml");
    const std::size_t task = text.find(L"<Task");
    const std::size_t markup = declaration < task ? declaration : task;
    if (markup == npos || markup == 0) {
        return;
    }
    for (std::size_t i = 0; i < markup; ++i) {
        if (!isLeadingNoise(text[i])) {
            return;
        }
    }
    text.erase(0, markup);
}

// Edits in place: the document can be large, and a decoded one has room for the few units
// added here.
std::wstring setXmlEncodingDeclaration(std::wstring xml, const std::wstring& encodingName) {
    stripLeadingBomAndNoise(xml);

    const std::size_t open = findFolded(xml, L"<?xml", 0);
    if (open == npos) {
        xml.insert(0, L"<?xml version=\"1.0\" encoding=\"" + encodingName + L"\"?>\r\n");
        return xml;
    }
    const std::size_t close = findFolded(xml, L"?>", open);
    if (close == npos) {
        return xml;
    }
    // Whatever lies after the "?>" would leave the document unchanged or take the insert
    // below, so the searches stop there.
    const std::size_t attribute = findFolded(xml, L"encoding", open, close);
    if (attribute == npos) {
        xml.insert(close, L" encoding=\"" + encodingName + L"\"");
        return xml;
    }
    const std::size_t equals = findFolded(xml, L"=", attribute, close);
    if (equals == npos) {
        return xml;
    }
    const std::size_t valueStart = findFoldedQuote(xml, equals + 1, close);
    if (valueStart == npos) {
        return xml;
    }
    const std::size_t valueEnd =
        std::wstring_view(xml).substr(0, close + 1).find(xml[valueStart], valueStart + 1);
    if (valueEnd == npos) {
        return xml;
    }
    xml.replace(valueStart + 1, valueEnd - valueStart - 1, encodingName);
    return xml;
}

} // namespace qsh
