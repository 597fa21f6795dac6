// Which binary interface of the interpreter the module is built for, in one place.
//   abi3    one module for every interpreter with the lock from 3.9 on (Py_LIMITED_API);
//   abi3t   one module for every interpreter from 3.15 on, with or without the lock
//           (Py_TARGET_ABI3T): the object header is opaque, so an instance's own data is
//           found through the interpreter (binding/instance.h), and the module is handed
//           over as a list of slots by an export hook (module/module.cpp);
//   neither one interpreter's own interface, as for a free-threaded 3.13 or 3.14.
// An abi3t build also defines Py_GIL_DISABLED: its code must be safe without the lock,
// yet what that interface lacks (PyUnstable_Module_SetGIL, PyMutex) is not there.
#pragma once

#include <Python.h>

#if defined(Py_TARGET_ABI3T)
#define BRACKWELL_ABI3T 1
#else
#define BRACKWELL_ABI3T 0
#endif
