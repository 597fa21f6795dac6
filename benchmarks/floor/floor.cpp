// _brackwell_floor: the cheapest calls the interpreter allows in each call style that
// brackwell's classes use, so that the benchmark can show what a method costs beyond the
// call itself. One class, Floor, whose methods do nothing but accept their arguments, plus
// the least a method must do to read texts and make results (echo_text, text1, texts3,
// KeyStore), and the native benchmark's design written the plain way
// (described_design.cpp). FieldStore does the same for a tracker's dict and list results. Built
// with the flags of the main module (C++20, -O3, abi3 at 3.9, hidden visibility); never installed.
#include <Python.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

double described_design(std::uint64_t count);

namespace {

// None as a new reference: the 3.12+ headers make Py_RETURN_NONE skip the reference.
PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// Accepts exactly kCount positional arguments and no keywords, as a method of the main
// module does for a positional call; the arguments themselves are not looked at.
template <Py_ssize_t kCount>
PyObject* takes(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  if ((kwargs && PyDict_Size(kwargs) != 0) || PyTuple_Size(args) != kCount) {
    PyErr_Format(PyExc_TypeError, "takes exactly %zd positional arguments", kCount);
    return nullptr;
  }
  return new_none();
}

// METH_NOARGS: the interpreter has already refused any argument.
PyObject* no_args(PyObject*, PyObject*) noexcept {
  return new_none();
}

// One str argument converted strictly to UTF-8 and returned as a new str: the least any
// method that reads a text and returns a text has to pay on the 3.9 stable ABI.
PyObject* echo_text(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  if ((kwargs && PyDict_Size(kwargs) != 0) || PyTuple_Size(args) != 1) {
    PyErr_SetString(PyExc_TypeError, "takes exactly 1 positional argument");
    return nullptr;
  }
  PyObject* text = PyTuple_GetItem(args, 0);
  if (!PyUnicode_Check(text)) {
    PyErr_SetString(PyExc_TypeError, "expects a str");
    return nullptr;
  }
  PyObject* bytes = PyUnicode_AsUTF8String(text);
  if (!bytes) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyObject* result = nullptr;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) == 0) {
    result = PyUnicode_FromStringAndSize(data, size);
  }
  Py_DECREF(bytes);
  return result;
}

// PyUnicode_AsUTF8AndSize where the running interpreter's stable ABI has it (3.10 on), as
// the main module finds it; nullptr on 3.9, where a bytes object is the way.
using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);
AsUtf8AndSize as_utf8_and_size() noexcept {
  static const AsUtf8AndSize found = [] {
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    if (major < 3 || (major == 3 && minor < 10)) return AsUtf8AndSize{};
    return reinterpret_cast<AsUtf8AndSize>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  }();
  return found;
}

// kCount str arguments, each viewed as strict UTF-8 the cheapest way the interpreter
// allows, then a new str from the first when kMakeText, else None: the floor of methods
// that read texts and return a text or a flag.
template <Py_ssize_t kCount, bool kMakeText>
PyObject* texts(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  if ((kwargs && PyDict_Size(kwargs) != 0) || PyTuple_Size(args) != kCount) {
    PyErr_Format(PyExc_TypeError, "takes exactly %zd positional arguments", kCount);
    return nullptr;
  }
  PyObject* first = nullptr;
  for (Py_ssize_t i = 0; i < kCount; ++i) {
    PyObject* text = PyTuple_GetItem(args, i);
    if (!PyUnicode_Check(text)) return PyErr_Format(PyExc_TypeError, "str only");
    const char* data = nullptr;
    Py_ssize_t size = 0;
    PyObject* bytes = nullptr;
    if (AsUtf8AndSize view = as_utf8_and_size()) {
      data = view(text, &size);
    } else if ((bytes = PyUnicode_AsUTF8String(text))) {
      data = PyBytes_AsString(bytes);
      size = PyBytes_Size(bytes);
    }
    if (!data) return nullptr;
    if (i == 0 && kMakeText) first = PyUnicode_FromStringAndSize(data, size);
    Py_XDECREF(bytes);
  }
  return kMakeText ? first : new_none();
}

// The native benchmark's design written the plain way (described_design.cpp): seconds
// for `count` trackers, for comparison with StateTracker.benchmark_pure_rust(count).
PyObject* described(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  if ((kwargs && PyDict_Size(kwargs) != 0) || PyTuple_Size(args) != 1) {
    PyErr_SetString(PyExc_TypeError, "takes exactly 1 positional argument");
    return nullptr;
  }
  const unsigned long long count = PyLong_AsUnsignedLongLong(PyTuple_GetItem(args, 0));
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  try {
    return PyFloat_FromDouble(described_design(count));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// KeyStore: a native copy of a list of keys (ints and strs), which make() hands back as a
// new list of new objects, ints first: the least any method must pay to return keys it
// keeps natively, as BatchAggregator.get_keys does.
struct KeyStore {
  PyObject_HEAD std::vector<long long>* ints;
  std::vector<std::string>* texts;
};

PyObject* key_store_make(PyObject* self, PyObject*) noexcept {
  const auto& store = *reinterpret_cast<KeyStore*>(self);
  PyObject* list = PyList_New(Py_ssize_t(store.ints->size() + store.texts->size()));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const long long value : *store.ints) {
    PyObject* item = PyLong_FromLongLong(value);
    if (!item) return Py_DECREF(list), nullptr;
    PyList_SetItem(list, i++, item);
  }
  for (const std::string& text : *store.texts) {
    PyObject* item = PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    if (!item) return Py_DECREF(list), nullptr;
    PyList_SetItem(list, i++, item);
  }
  return list;
}

void key_store_dealloc(PyObject* self) noexcept {
  auto& store = *reinterpret_cast<KeyStore*>(self);
  delete store.ints;
  delete store.texts;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyMethodDef kKeyStoreMethods[] = {
    {"make", key_store_make, METH_NOARGS, "make($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot kKeyStoreSlots[] = {
    {Py_tp_methods, kKeyStoreMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(key_store_dealloc)},
    {0, nullptr},
};
PyType_Spec kKeyStoreSpec = {"_brackwell_floor.KeyStore", sizeof(KeyStore), 0, Py_TPFLAGS_DEFAULT,
                             kKeyStoreSlots};
PyObject* g_key_store_type = nullptr;

// Floor.key_store(keys): copies a list of ints and strs into a new KeyStore.
PyObject* key_store(PyObject*, PyObject* args, PyObject*) noexcept {
  PyObject* keys = PyTuple_GetItem(args, 0);
  if (!keys || !PyList_Check(keys)) {
    PyErr_SetString(PyExc_TypeError, "expects a list");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(g_key_store_type), Py_tp_alloc));
  PyObject* self = alloc(reinterpret_cast<PyTypeObject*>(g_key_store_type), 0);
  if (!self) return nullptr;
  auto& store = *reinterpret_cast<KeyStore*>(self);
  store.ints = new std::vector<long long>;
  store.texts = new std::vector<std::string>;
  for (Py_ssize_t i = 0; i < PyList_Size(keys); ++i) {
    PyObject* key = PyList_GetItem(keys, i);
    if (PyLong_Check(key)) {
      store.ints->push_back(PyLong_AsLongLong(key));
    } else {
      PyObject* bytes = PyUnicode_AsUTF8String(key);
      if (!bytes) return Py_DECREF(self), nullptr;
      store.texts->emplace_back(PyBytes_AsString(bytes), std::size_t(PyBytes_Size(bytes)));
      Py_DECREF(bytes);
    }
  }
  return self;
}

// FieldStore: native field names with their values and dirty marks, from which current(),
// dirty_names() and dirty_changes() make a new dict or list with new str keys: the least a
// tracker that keeps its names natively must pay for those results.
struct Field {
  std::string name;
  PyObject* value;  // owned
  bool dirty;
};
struct FieldStore {
  PyObject_HEAD std::vector<Field>* fields;
};

const std::vector<Field>& fields_of(PyObject* self) {
  return *reinterpret_cast<FieldStore*>(self)->fields;
}

PyObject* new_name(const Field& field) {
  return PyUnicode_FromStringAndSize(field.name.data(), Py_ssize_t(field.name.size()));
}

// A new dict of every field (or only the dirty ones) to its value.
template <bool kDirtyOnly>
PyObject* field_store_dict(PyObject* self, PyObject*) noexcept {
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  for (const Field& field : fields_of(self)) {
    if (kDirtyOnly && !field.dirty) continue;
    PyObject* name = new_name(field);
    const int status = name ? PyDict_SetItem(dict, name, field.value) : -1;
    Py_XDECREF(name);
    if (status < 0) return Py_DECREF(dict), nullptr;
  }
  return dict;
}

PyObject* field_store_dirty_names(PyObject* self, PyObject*) noexcept {
  Py_ssize_t dirty = 0;
  for (const Field& field : fields_of(self)) dirty += field.dirty;
  PyObject* list = PyList_New(dirty);
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const Field& field : fields_of(self)) {
    if (!field.dirty) continue;
    PyObject* name = new_name(field);
    if (!name) return Py_DECREF(list), nullptr;
    PyList_SetItem(list, i++, name);
  }
  return list;
}

void field_store_dealloc(PyObject* self) noexcept {
  auto& store = *reinterpret_cast<FieldStore*>(self);
  for (const Field& field : *store.fields) Py_DECREF(field.value);
  delete store.fields;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyMethodDef kFieldStoreMethods[] = {
    {"current", field_store_dict<false>, METH_NOARGS, "current($self)\n--\n\n"},
    {"dirty_changes", field_store_dict<true>, METH_NOARGS, "dirty_changes($self)\n--\n\n"},
    {"dirty_names", field_store_dirty_names, METH_NOARGS, "dirty_names($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot kFieldStoreSlots[] = {
    {Py_tp_methods, kFieldStoreMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(field_store_dealloc)},
    {0, nullptr},
};
PyType_Spec kFieldStoreSpec = {"_brackwell_floor.FieldStore", sizeof(FieldStore), 0,
                               Py_TPFLAGS_DEFAULT, kFieldStoreSlots};
PyObject* g_field_store_type = nullptr;

// Floor.field_store(current, dirty): a FieldStore of the str -> value dict `current`, in its
// order, marking the names in the list `dirty`.
PyObject* field_store(PyObject*, PyObject* args, PyObject*) noexcept {
  PyObject* current = PyTuple_GetItem(args, 0);
  PyObject* dirty = PyTuple_GetItem(args, 1);
  if (!current || !dirty || !PyDict_Check(current) || !PyList_Check(dirty)) {
    PyErr_SetString(PyExc_TypeError, "expects a dict and a list");
    return nullptr;
  }
  auto type = reinterpret_cast<PyTypeObject*>(g_field_store_type);
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;
  auto& store = *reinterpret_cast<FieldStore*>(self);
  store.fields = new std::vector<Field>;
  Py_ssize_t position = 0;
  PyObject *name, *value;
  while (PyDict_Next(current, &position, &name, &value)) {
    PyObject* bytes = PyUnicode_AsUTF8String(name);
    const int is_dirty = bytes ? PySequence_Contains(dirty, name) : -1;
    if (is_dirty < 0) return Py_XDECREF(bytes), Py_DECREF(self), nullptr;
    Py_INCREF(value);
    store.fields->push_back({std::string(PyBytes_AsString(bytes), std::size_t(PyBytes_Size(bytes))),
                             value, is_dirty == 1});
    Py_DECREF(bytes);
  }
  return self;
}

template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kArgsKwargs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"args1", as_cfunction(takes<1>), kArgsKwargs, "args1($self, a)\n--\n\n"},
    {"args2", as_cfunction(takes<2>), kArgsKwargs, "args2($self, a, b)\n--\n\n"},
    {"args3", as_cfunction(takes<3>), kArgsKwargs, "args3($self, a, b, c)\n--\n\n"},
    {"args4", as_cfunction(takes<4>), kArgsKwargs, "args4($self, a, b, c, d)\n--\n\n"},
    {"args8", as_cfunction(takes<8>), kArgsKwargs, "args8($self, a, b, c, d, e, f, g, h)\n--\n\n"},
    {"noargs", as_cfunction(no_args), METH_NOARGS, "noargs($self)\n--\n\n"},
    {"static1", as_cfunction(takes<1>), kArgsKwargs | METH_STATIC, "static1(a)\n--\n\n"},
    {"echo_text", as_cfunction(echo_text), kArgsKwargs, "echo_text($self, text)\n--\n\n"},
    {"described_design", as_cfunction(described), kArgsKwargs | METH_STATIC,
     "described_design(count)\n--\n\n"},
    {"key_store", as_cfunction(key_store), kArgsKwargs | METH_STATIC, "key_store(keys)\n--\n\n"},
    {"field_store", as_cfunction(field_store), kArgsKwargs | METH_STATIC,
     "field_store(current, dirty)\n--\n\n"},
    {"text1", as_cfunction(texts<1, false>), kArgsKwargs, "text1($self, a)\n--\n\n"},
    {"texts3", as_cfunction(texts<3, true>), kArgsKwargs, "texts3($self, a, b, c)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_methods, kMethods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec kSpec = {"_brackwell_floor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_brackwell_floor",
    "Call-cost floor for brackwell's benchmark.",
    -1,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__brackwell_floor() {
  PyObject* module = PyModule_Create(&kModule);
  if (!module) return nullptr;
  g_key_store_type = PyType_FromSpec(&kKeyStoreSpec);
  g_field_store_type = PyType_FromSpec(&kFieldStoreSpec);
  PyObject* type = g_key_store_type && g_field_store_type ? PyType_FromSpec(&kSpec) : nullptr;
  if (!type || PyModule_AddObject(module, "Floor", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
