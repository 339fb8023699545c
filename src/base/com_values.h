#pragma once

#include <windows.h>
#include <oleauto.h>

#include "base/unique_resource.h"

namespace qsh {

// A string allocated with SysAllocString.
struct BstrTraits {
    using Value = BSTR;
    static Value empty() { return nullptr; }
    static bool holds(Value value) { return value != nullptr; }
    static void close(Value value) { SysFreeString(value); }
};
using UniqueBstr = UniqueResource<BstrTraits>;

// Sole owner of one VARIANT and what it holds; clears it once. Starts empty.
class UniqueVariant {
  public:
    UniqueVariant() { VariantInit(&value_); }
    // Takes the string over: it is freed when the VARIANT is cleared.
    explicit UniqueVariant(UniqueBstr&& text) : UniqueVariant() {
        V_VT(&value_) = VT_BSTR;
        V_BSTR(&value_) = text.release();
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { reset(); }

    // For methods that take a VARIANT by value: the copy borrows what this one owns.
    const VARIANT& get() const { return value_; }
    // An empty VARIANT holds nothing, so only a filled one goes to VariantClear.
    void reset() {
        if (V_VT(&value_) != VT_EMPTY) {
            VariantClear(&value_);
        }
    }

  private:
    VARIANT value_;
};

} // namespace qsh
