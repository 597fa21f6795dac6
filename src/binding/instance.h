// Instances of the module's classes: the object header, a borrow counter and the
// class's native record. Generic constructor, deallocation and garbage-collector
// slots; instance_of() checks the type and hands out the layout for a hold.
// Where the object header is opaque (binding/abi.h), the counter and record follow it at
// a place only the interpreter knows: the type asks for them with a negative basic size
// and as_instance() finds them through PyObject_GetTypeData.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

#include "binding/abi.h"
#include "binding/boundary.h"
#include "binding/class_def.h"
#include "binding/convert.h"
#include "binding/hold.h"
#include "binding/params.h"
#include "binding/process_state.h"
#include "binding/release_queue.h"

namespace brackwell::binding {

template <class Record>
struct Instance {
#if !BRACKWELL_ABI3T
  PyObject ob_base;
#endif
  BorrowCounter counter;
  Record record;
};

// The basic size of a class's spec: the whole instance, or (a negative number) only what
// follows the opaque header.
template <class Record>
inline constexpr int kBasicSize = BRACKWELL_ABI3T ? -static_cast<int>(sizeof(Instance<Record>))
                                                  : static_cast<int>(sizeof(Instance<Record>));

// A record that owns Python references says so with `static constexpr bool
// kGarbageCollected = true` and provides traverse(visit, arg) and clear().
template <class Record>
constexpr bool kGarbageCollected = requires {
  requires Record::kGarbageCollected;
};

template <class Record>
Instance<Record>& as_instance(PyObject* self) noexcept {
#if BRACKWELL_ABI3T
  // No class of the module can be subclassed: the instance's type is the one that
  // asked for the data.
  return *static_cast<Instance<Record>*>(PyObject_GetTypeData(self, Py_TYPE(self)));
#else
  return *reinterpret_cast<Instance<Record>*>(self);
#endif
}

// The instance behind `self`, refused with the conversion message naming the class when
// `self` is not one (possible only when a method is called unbound with a stranger).
template <class Record>
Instance<Record>& instance_of(PyObject* self, const ClassDef& def) {
  if (!self || !PyObject_TypeCheck(self, def.type())) throw conversion_error(self, def.name());
  return as_instance<Record>(self);
}

// tp_new: binds the empty parameter list of `__new__`, allocates through the type's
// allocation slot and installs an empty record.
template <class Record, const Params& New>
PyObject* instance_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static_assert(std::is_nothrow_default_constructible_v<Record>);
  return entry([&] {
    bind(New, args, kwargs);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref self = owned(alloc(type, 0));
    // The allocator zero-fills (and tracks a collected type); no Python code runs
    // before the record is in place.
    Instance<Record>& instance = as_instance<Record>(self.get());
    new (&instance.counter) BorrowCounter{};
    new (&instance.record) Record{};
    return self;
  });
}

// Frees an instance: drops the record, frees through the type's free slot, then releases
// the reference every heap-type instance holds on its type.
template <class Record>
void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  dealloc_entry(self, [&] { as_instance<Record>(self).record.~Record(); });
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// The word that links a waiting instance into the release queue: its borrow counter,
// which no call uses any more once the instance is being freed. It sits at the same
// place in every class's instances, so one queue serves them all.
inline std::atomic<std::uintptr_t>& release_link(PyObject* self) noexcept {
  return as_instance<char>(self).counter.state;
}

// tp_dealloc. A record that owns Python references may free others of its kind as it
// goes; those deallocations nest only so deep, and the rest wait in this thread's queue
// (untracked, their type still held) for the outermost one.
template <class Record>
void instance_dealloc(PyObject* self) noexcept {
  if constexpr (kGarbageCollected<Record>) {
    PyObject_GC_UnTrack(self);
    const NestedRelease<release_link> nested;
    if (nested.too_deep()) return nested.defer(self);
    free_instance<Record>(self);
  } else {
    free_instance<Record>(self);
  }
}

// tp_traverse: the type first (heap-type instances own it), then the record's objects.
template <class Record>
int instance_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return as_instance<Record>(self).record.traverse(visit, arg);
}

// tp_clear: drops the record's references to break a cycle.
template <class Record>
int instance_clear(PyObject* self) noexcept {
  as_instance<Record>(self).record.clear();
  return 0;
}

}  // namespace brackwell::binding
