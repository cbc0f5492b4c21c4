// plugins.hpp: running a plugin's operation from its source or compiled entry.
#ifndef VELMORA_PLUGINS_HPP
#define VELMORA_PLUGINS_HPP

#include "module_frame.hpp"

namespace velmora::plugins {

// Bodies of exported functions: arguments already bound, in parameter order.
Ref plugin_run(const Scope& scope, const Borrowed* args) noexcept;
Ref load_so_plugin(const Scope& scope, const Borrowed* args) noexcept;

}  // namespace velmora::plugins

#endif
