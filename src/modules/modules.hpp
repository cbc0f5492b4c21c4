// modules.hpp: the name check, module discovery and loading, and the module runner.
#ifndef VELMORA_MODULES_HPP
#define VELMORA_MODULES_HPP

#include "module_frame.hpp"

namespace velmora::modules {

// Bodies of exported functions: arguments already bound, in parameter order.
Ref module_run(const Scope& scope, const Borrowed* args) noexcept;
Ref get_module_list(const Scope& scope, const Borrowed* args) noexcept;
Ref get_module(const Scope& scope, const Borrowed* args) noexcept;
Ref path_check(const Scope& scope, const Borrowed* args) noexcept;

}  // namespace velmora::modules

#endif
