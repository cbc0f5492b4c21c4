// catalogue.hpp: fetching the plugin catalogue from the cloud and caching it.
#ifndef VELMORA_CATALOGUE_HPP
#define VELMORA_CATALOGUE_HPP

#include "module_frame.hpp"

namespace velmora::catalogue {

// Bodies of exported functions: arguments already bound, in parameter order.
Ref get_plugin_list(const Scope& scope, const Borrowed* args) noexcept;
Ref update_plugin_list(const Scope& scope, const Borrowed* args) noexcept;

}  // namespace velmora::catalogue

#endif
