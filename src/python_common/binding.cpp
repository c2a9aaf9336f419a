#include "python_common/binding.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "python_common/errors.hpp"

namespace quillomar::py {
namespace {

[[noreturn]] void TooManyPositional(const Signature& sig, Py_ssize_t given) {
  std::string msg = sig.display_name;
  if (sig.required == sig.param_count) {
    msg += " takes " + std::to_string(sig.param_count);
  } else {
    msg += " takes from " + std::to_string(sig.required) + " to " +
           std::to_string(sig.param_count);
  }
  msg += " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was" : " were") + " given";
  Raise(PyExc_TypeError, msg);
}

[[noreturn]] void UnexpectedKeyword(const Signature& sig, PyObject* name) {
  PyRef text = Check(PyObject_Str(name));
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) throw PyErrorAlreadySet{};
  Raise(PyExc_TypeError, std::string(sig.display_name) +
                             " got an unexpected keyword argument '" + utf8 +
                             "'");
}

[[noreturn]] void MissingRequired(const Signature& sig, PyObject** slots) {
  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(sig.params[i].name);
  }
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) list += ",";
      list += i + 1 == missing.size() ? " and " : " ";
    }
    list += "'";
    list += missing[i];
    list += "'";
  }
  Raise(PyExc_TypeError,
        std::string(sig.display_name) + " missing " +
            std::to_string(missing.size()) + " required positional " +
            (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
}

// Index of the parameter whose name equals `name`, or -1.
int FindParam(const Signature& sig, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) {
    // A keyword with no UTF-8 form (a lone surrogate) matches no parameter.
    PyErr_Clear();
    return -1;
  }
  for (int i = 0; i < sig.param_count; ++i) {
    const char* param = sig.params[i].name;
    if (std::strlen(param) == static_cast<size_t>(size) &&
        std::memcmp(param, utf8, static_cast<size_t>(size)) == 0) {
      return i;
    }
  }
  return -1;
}

}  // namespace

void BindArguments(const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots) {
  const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
  for (int i = 0; i < sig.param_count; ++i) slots[i] = nullptr;
  if (npos > sig.param_count) TooManyPositional(sig, npos);
  for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const int slot = FindParam(sig, name);
    if (slot < 0) UnexpectedKeyword(sig, name);
    if (slots[slot] != nullptr) {
      Raise(PyExc_TypeError, std::string(sig.display_name) +
                                 " got multiple values for argument '" +
                                 sig.params[slot].name + "'");
    }
    slots[slot] = args[npos + k];
  }
  for (int i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) MissingRequired(sig, slots);
  }
}

}  // namespace quillomar::py
