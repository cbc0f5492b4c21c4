// module_function.hpp: the callable type of the exported functions.
#ifndef VELMORA_MODULE_FUNCTION_HPP
#define VELMORA_MODULE_FUNCTION_HPP

#include "module_frame.hpp"
#include "module_table.hpp"

namespace velmora {

// Readies the type once per process.  False with the error set on failure.
bool function_type_ready() noexcept;

// A new function object for `def`, bound to `module` (kept alive by it).
// `module_name` becomes its __module__.
Ref function_new(const FunctionDef& def, Borrowed module,
                 Borrowed module_name) noexcept;

}  // namespace velmora

#endif  // VELMORA_MODULE_FUNCTION_HPP
