#include "python_common/module_setup.hpp"

namespace quillomar::py {

bool DeclareGilUsed([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
  return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) == 0;
#else
  return true;
#endif
}

bool AddObject(PyObject* module, const char* name, PyObject* o) {
  if (o == nullptr) return false;
  Py_INCREF(o);
  if (PyModule_AddObject(module, name, o) < 0) {
    Py_DECREF(o);
    return false;
  }
  return true;
}

}  // namespace quillomar::py
