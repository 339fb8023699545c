#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace qsh {

// Sole owner of one BSTR; frees it once.
class UniqueBstr {
  public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR value) : value_(value) {}
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    ~UniqueBstr() { reset(); }

    BSTR get() const { return value_; }
    // Hands ownership to the caller (a VARIANT, for instance).
    BSTR release() { return std::exchange(value_, nullptr); }
    void reset() {
        if (BSTR old = std::exchange(value_, nullptr)) {
            SysFreeString(old);
        }
    }
    BSTR* put() {
        reset();
        return &value_;
    }

  private:
    BSTR value_ = nullptr;
};

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
