// The methods of the server and certificate classes: what this folder offers
// the module body, which makes the classes.
#pragma once

#include "core/function.hpp"

namespace vk::servers {

// HTTPServer and HTTPSServer methods.
extern const FunctionDef http_init, http_start, https_init, https_start;

// BackendPythonServer methods.
extern const FunctionDef backend_init, backend_start;

// SelfSignedCertificateGenerator methods.
extern const FunctionDef certificate_init, certificate_generate;

}  // namespace vk::servers
