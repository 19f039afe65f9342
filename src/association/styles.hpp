// How the association functions test their arguments and report a failure.
#pragma once

#include "core/ref.hpp"

namespace vk::association {

// bool(value): 1, 0, or -1 with an exception set.
int truthy(PyObject* value);
// `a and b`, tested in that order.
int both(PyObject* a, PyObject* b);

// except Exception as e: print("Error: " + str(e)); false otherwise, with
// the exception left set.
bool report_error();
// except Exception as e: raise Exception(prefix, e). Anything else passes
// unchanged. Always null.
PyObject* raise_wrapped(const char* prefix);

}  // namespace vk::association
