// Binding of vector-call arguments to named parameter slots, with the
// interpreter-style TypeError messages for every way a call can go wrong.
#pragma once

#include "python_common/convert.hpp"
#include "python_common/method_signatures.hpp"
#include "python_common/py_ref.hpp"

namespace quillomar::py {

// Fills slots[0 .. sig.param_count) with borrowed references to the bound
// arguments (NULL for an omitted optional one). Throws PyErrorAlreadySet
// with TypeError set on any binding error.
void BindArguments(const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots);

// convert(slots[i]), with parameter i of `sig` named in a TypeError it
// raises (see NamedArgument).
template <class Convert>
auto ConvertArgument(const Signature& sig, PyObject* const* slots, int i,
                     Convert&& convert) {
  return NamedArgument(sig.params[i].name, [&] { return convert(slots[i]); });
}

}  // namespace quillomar::py
