// Creating the types and module objects of an extension module.
#pragma once

#include "python_common/py_ref.hpp"

namespace quillomar::py {

// The heap type made from `Spec`, created under the GIL the first time it is
// asked for and kept for the life of the process. NULL with an error set
// while it cannot be created (a later call tries again).
template <PyType_Spec& Spec>
PyTypeObject* HeapType() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&Spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

// On an interpreter built without the GIL, declares that `module` needs it
// (so importing the module switches it on). False with an error set.
bool DeclareGilUsed(PyObject* module);

// Adds the borrowed `o` to `module` as attribute `name`; NULL for `o` (its
// creation failed, with an error set) adds nothing. False with an error set.
bool AddObject(PyObject* module, const char* name, PyObject* o);

}  // namespace quillomar::py
