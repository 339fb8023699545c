#pragma once

#include <windows.h>
#include <xmllite.h>

#include <string>
#include <string_view>
#include <utility>

#include "base/com_ptr.h"
#include "base/unique_resource.h"

namespace qsh {

// An XmlLite reader and the library its code lives in. The members are released in reverse
// order, so the reader (and the input it holds) goes before the library is freed.
struct XmlReader {
    UniqueModule library;
    ComPtr<ISequentialStream> input;
    ComPtr<IXmlReader> reader;
};

// Where openXmlReader takes XmlLite from. A test names another library, or puts in its own
// CreateXmlReader, to see what the helper says when no reader can be made.
struct XmlLiteSource {
    const wchar_t* library = L"xmllite.dll";
    // Null: the library's own.
    decltype(&CreateXmlReader) create = nullptr;
};
void setXmlLiteSource(const XmlLiteSource& source);

// A reader over `text`, which must outlive it; the text is read as it stands, whatever its
// declaration says about an encoding. Document type declarations are prohibited. On failure
// the reader is empty and `error` says why.
XmlReader openXmlReader(std::wstring_view text, std::wstring& error);

// False when the reader was handed only part of the text: the rest holds an unpaired
// surrogate, which is no character. Whatever the reader made of the part, it is not the text.
bool inputWasWhole(const XmlReader& xml);

} // namespace qsh
