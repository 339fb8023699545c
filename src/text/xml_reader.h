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

// A reader over `text`, which must outlive it; the text is read as it stands, whatever its
// declaration says about an encoding. Document type declarations are prohibited. On failure
// the reader is empty and `error` says why.
XmlReader openXmlReader(std::wstring_view text, std::wstring& error);

// False when the reader was handed only part of the text: the rest holds an unpaired
// surrogate, which is no character. Whatever the reader made of the part, it is not the text.
bool inputWasWhole(const XmlReader& xml);

} // namespace qsh
