#include "python_build/prefix_search_view.hpp"

#include <string>

#include "python/prefix_search.hpp"
#include "python_common/errors.hpp"

namespace quillomar::py {
namespace {

// The PrefixSearch type of the search module, looked up once; the module
// stays imported for the life of the process, and so does its type.
PyTypeObject* SearchType() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyRef module = Check(PyImport_ImportModule("_quillomar"));
    PyRef found = Check(PyObject_GetAttrString(module.get(), "PrefixSearch"));
    if (!PyType_Check(found.get()) ||
        reinterpret_cast<PyTypeObject*>(found.get())->tp_basicsize !=
            static_cast<Py_ssize_t>(sizeof(PrefixSearchObject))) {
      Raise(PyExc_TypeError,
            "_quillomar.PrefixSearch is not the type this module was built "
            "with");
    }
    type = reinterpret_cast<PyTypeObject*>(found.release());
  }
  return type;
}

}  // namespace

const SearchIndex& PrefixSearchIndex(PyObject* o) {
  PyTypeObject* type = SearchType();
  if (!PyObject_TypeCheck(o, type)) {
    Raise(PyExc_TypeError, std::string("index must be a PrefixSearch, not ") +
                               Py_TYPE(o)->tp_name);
  }
  return reinterpret_cast<PrefixSearchObject*>(o)->index;
}

}  // namespace quillomar::py
