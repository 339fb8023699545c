#pragma once

// How the stand-in's objects are made. Built with CINTERFACE (see CMakeLists.txt),
// taskschd.h declares each interface's vtable as a struct of named, typed slots. An object
// is a plain struct with its vtable first, as COM expects; the vtable starts with every
// slot on the shared stub below, which records an unexpected call, and the object then
// sets the few methods the helper calls, by name and with their exact signatures.

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "ledger.h"

namespace standin {

// An interface as the ledger names it. `slots` names the slots after IDispatch's in vtable
// order, separated by single blanks; "=Name" stands for the pair get_Name, put_Name.
struct Kind {
    const wchar_t* name;
    const IID* iid;
    std::wstring_view slots;
    const wchar_t* asked = nullptr; // the base interface the helper asks through, which
    const IID* askedIid = nullptr;  // names QueryInterface in the ledger
};

constexpr std::wstring_view kDispatchSlots =
    L"QueryInterface AddRef Release GetTypeInfoCount GetTypeInfo GetIDsOfNames Invoke";

constexpr std::size_t slotCount(std::wstring_view names) {
    return static_cast<std::size_t>(std::ranges::count(names, L' ') + 1 +
                                    std::ranges::count(names, L'='));
}

inline std::wstring slotName(std::wstring_view names, std::size_t slot) {
    std::wistringstream words(std::wstring(kDispatchSlots) + L" " + std::wstring(names));
    for (std::wstring name; words >> name;) {
        const std::size_t width = name[0] == L'=' ? 2 : 1;
        if (slot < width) {
            return width == 1 ? name : (slot == 0 ? L"get_" : L"put_") + name.substr(1);
        }
        slot -= width;
    }
    return L"(slot " + std::to_wstring(slot) + L" past the names)";
}

struct Object {
    const void* vtable;
    const Kind* kind;
    int id; // in the ledger
};

inline std::wstring methodName(const Object& self, std::size_t slot) {
    const Kind& kind = *self.kind;
    return std::wstring(slot == 0 && kind.asked ? kind.asked : kind.name) + L"::" +
           slotName(kind.slots, slot);
}

// Slot index of a method of the enclosing object's `Vtbl`, for the ledger name.
#define QSH_SLOT(Method) (offsetof(Vtbl, Method) / sizeof(void*))

template <class T, class Interface> T& as(Interface* pointer) {
    return static_cast<T&>(*reinterpret_cast<Object*>(pointer));
}

template <class Out> HRESULT handOut(Object* object, Out** out) {
    *out = reinterpret_cast<Out*>(object);
    addRefObject(object->id);
    return S_OK;
}

inline HRESULT enter(const Object& self, std::size_t slot, const std::wstring& detail = {},
                     BSTR passed = nullptr) {
    return enterCall(self.id, methodName(self, slot), detail, passed);
}

// Entry of a method that hands out `*out`, cleared first.
template <class Out>
HRESULT enterOut(const Object& self, std::size_t slot, Out** out, const std::wstring& detail = {},
                 BSTR passed = nullptr) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    return enter(self, slot, detail, passed);
}

inline std::wstring guidText(REFIID iid) {
    wchar_t text[40] = {};
    StringFromGUID2(iid, text, 40);
    return text;
}

// QueryInterface without a ledger line, for the class factory; `*out` is null already.
inline HRESULT answer(Object& self, REFIID iid, void** out) {
    const Kind& kind = *self.kind;
    const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                       IsEqualIID(iid, *kind.iid) ||
                       (kind.askedIid != nullptr && IsEqualIID(iid, *kind.askedIid));
    return known ? handOut(&self, out) : E_NOINTERFACE;
}

template <class Interface>
HRESULT STDMETHODCALLTYPE queryInterface(Interface* pointer, REFIID iid, void** out) {
    Object& self = as<Object>(pointer);
    const HRESULT hr = enterOut(self, 0, out, guidText(iid));
    return FAILED(hr) ? hr : answer(self, iid, out);
}
template <class Interface> ULONG STDMETHODCALLTYPE addRef(Interface* pointer) {
    return addRefObject(as<Object>(pointer).id);
}
template <class Interface> ULONG STDMETHODCALLTYPE release(Interface* pointer) {
    return releaseObject(as<Object>(pointer).id);
}

// One stub per slot index, so that it can name the method. On x64 there is one calling
// convention and the caller removes the arguments, so a stub declared with the object
// alone can fill a slot of any signature; every slot left to it returns an HRESULT.
static_assert(sizeof(void*) == 8, "the shared stub relies on the x64 calling convention");
template <std::size_t Slot> HRESULT STDMETHODCALLTYPE unexpected(Object* self) {
    recordFault(L"unexpected call " + methodName(*self, Slot));
    return E_NOTIMPL;
}
using Stub = HRESULT(STDMETHODCALLTYPE*)(Object*);
template <std::size_t... Slots>
constexpr std::array<Stub, sizeof...(Slots)> stubsFor(std::index_sequence<Slots...>) {
    return {&unexpected<Slots>...};
}
constexpr std::array<Stub, 48> kStubs = stubsFor(std::make_index_sequence<48>());

template <class T> const typename T::Vtbl& vtableOf() {
    using Vtbl = typename T::Vtbl;
    static_assert(sizeof(Vtbl) <= sizeof kStubs);
    static_assert(slotCount(kDispatchSlots) + slotCount(T::kKind.slots) ==
                      sizeof(Vtbl) / sizeof(void*),
                  "the slot names do not match the interface");
    static const Vtbl table = [] {
        Vtbl made;
        std::memcpy(&made, kStubs.data(), sizeof made);
        made.QueryInterface = &queryInterface;
        made.AddRef = &addRef;
        made.Release = &release;
        T::fill(made);
        return made;
    }();
    return table;
}

// Objects live until the process ends, so a call through a released pointer is
// reported instead of crashing.
template <class T> T* make() {
    return new T{{&vtableOf<T>(), &T::kKind, registerObject(T::kKind.name)}};
}

template <class T, class C> C classOf(T C::*);

// The one recorder of property puts: the call and its value in the ledger, the value kept
// in `Field` for the stored document (a VARIANT_BOOL is true unless VARIANT_FALSE). A failed
// put stops the helper before anything is stored.
template <std::size_t Slot, auto Field, class Interface, class Value>
HRESULT STDMETHODCALLTYPE put(Interface* pointer, Value value) {
    auto& self = as<decltype(classOf(Field))>(pointer);
    if constexpr (std::is_same_v<Value, BSTR>) {
        self.*Field = textOf(value);
        return enter(self, Slot, textOf(value), value);
    } else {
        self.*Field = value;
        return enter(self, Slot, std::to_wstring(value));
    }
}

// The one answer of property gets: the call in the ledger, then the value kept in `Field`. An
// empty text is answered as a null BSTR.
template <std::size_t Slot, auto Field, class Interface, class Value>
HRESULT STDMETHODCALLTYPE get(Interface* pointer, Value* out) {
    auto& self = as<decltype(classOf(Field))>(pointer);
    if constexpr (std::is_same_v<Value, BSTR>) {
        if (HRESULT hr = enterOut(self, Slot, out); FAILED(hr)) {
            return hr;
        }
        const std::wstring& text = self.*Field;
        *out = text.empty() ? nullptr : handOutBstr(text, methodName(self, Slot));
        return text.empty() || *out != nullptr ? S_OK : E_OUTOFMEMORY;
    } else {
        const HRESULT hr = out != nullptr ? enter(self, Slot) : E_POINTER;
        if (SUCCEEDED(hr)) {
            *out = self.*Field;
        }
        return hr;
    }
}

} // namespace standin
