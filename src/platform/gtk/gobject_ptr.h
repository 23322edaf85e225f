#pragma once

// For this folder's files alone: it includes GLib's header.
#include <glib-object.h>

#include <memory>

namespace nerix::platform {

// One reference to a GObject, held by a member for as long as its owner lives (a local holds
// one with g_autoptr instead). Adopts the reference it is given: a new object, or one taken
// with g_object_ref.
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// The same for a type with a release function of its own (a boxed type's unref).
template <class T, void (*Release)(T*)>
struct Releaser {
    void operator()(T* held) const { Release(held); }
};
template <class T, void (*Release)(T*)>
using OwnedPtr = std::unique_ptr<T, Releaser<T, Release>>;

}  // namespace nerix::platform
