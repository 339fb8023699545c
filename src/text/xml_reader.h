#pragma once

#include <windows.h>
#include <xmllite.h>

#include <string>
#include <string_view>
#include <utility>

#include "diag/com_ptr.h"

namespace qsh {

// Sole owner of one loaded module; frees it once.
class UniqueModule {
  public:
    UniqueModule() = default;
    explicit UniqueModule(HMODULE module) : module_(module) {}
    UniqueModule(const UniqueModule&) = delete;
    UniqueModule& operator=(const UniqueModule&) = delete;
    UniqueModule(UniqueModule&& other) noexcept : module_(std::exchange(other.module_, nullptr)) {}
    UniqueModule& operator=(UniqueModule&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.module_, nullptr));
        }
        return *this;
    }
    ~UniqueModule() { reset(); }

    HMODULE get() const { return module_; }
    explicit operator bool() const { return module_ != nullptr; }
    void reset(HMODULE module = nullptr) {
        if (HMODULE old = std::exchange(module_, module)) {
            FreeLibrary(old);
        }
    }

  private:
    HMODULE module_ = nullptr;
};

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
