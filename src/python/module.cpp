// Module initialisation: one module object per process, bound to the first
// interpreter that imports it.
#include <atomic>
#include <cstdint>

#include "python/prefix_search.hpp"
#include "python_common/errors.hpp"
#include "python_common/module_setup.hpp"

namespace quillomar::py {
namespace {

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // created once, then reused

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_quillomar",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends "PrefixSearch" to the module's __all__ (creating it if missing)
// and sets the module attribute. Returns false with an error set.
bool AddType(PyObject* module, PyTypeObject* type) {
  PyRef all = PyRef::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::Steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return false;
    }
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  PyRef name = PyRef::Steal(PyUnicode_FromString("PrefixSearch"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttrString(module, "PrefixSearch",
                                reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* Init() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) &&
      expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_quillomar can only be imported into one interpreter "
                    "per process; it is already loaded in another one");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  PyRef module = PyRef::Steal(PyModule_Create2(&kModuleDef, 1013));
  if (!module) return nullptr;
  if (!DeclareGilUsed(module.get())) return nullptr;
  PyTypeObject* type = PrefixSearchType();
  if (type == nullptr) {
    PyErr_PrintEx(0);
    SetPanic("failed to create type object for PrefixSearch");
    return nullptr;
  }
  if (!AddType(module.get(), type)) return nullptr;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace quillomar::py

PyMODINIT_FUNC PyInit__quillomar(void) {
  return quillomar::py::Guarded([] { return quillomar::py::Init(); });
}
