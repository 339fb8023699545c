#pragma once

#include <windows.h>

#include "base/unique_resource.h"

namespace qsh {

// A COM interface pointer, given back with Release.
template <class Interface> struct ComReleaseTraits {
    using Value = Interface*;
    static Value empty() { return nullptr; }
    static bool holds(Value value) { return value != nullptr; }
    static void close(Value value) { value->Release(); }
};

// Sole owner of one COM interface pointer; releases it once.
template <class Interface> class ComPtr : public UniqueResource<ComReleaseTraits<Interface>> {
  public:
    using UniqueResource<ComReleaseTraits<Interface>>::UniqueResource;

    Interface* operator->() const { return this->get(); }
    // The out-parameter slot typed for QueryInterface and CoCreateInstance.
    void** putVoid() { return reinterpret_cast<void**>(this->put()); }
};

} // namespace qsh
