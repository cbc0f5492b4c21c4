// module_table.hpp: the table of exported functions.
//
// Each row names a function, its parameters (all positional-or-keyword), the
// default of its last parameter if it has one, its docstring and its body.
// The body receives every parameter filled in, borrowed, in table order.
#ifndef VELMORA_MODULE_TABLE_HPP
#define VELMORA_MODULE_TABLE_HPP

#include "module_frame.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>

namespace velmora {

inline constexpr std::size_t kMaxParams = 3;

using Body = Ref (*)(const Scope& scope, const Borrowed* args) noexcept;

struct FunctionDef {
  const char* name;
  std::size_t nparams;
  std::array<const char*, kMaxParams> params;
  std::optional<long> last_default;  // only ever an int default
  const char* doc;                   // nullptr: __doc__ is None
  Body body;
};

// All exported functions, in the order they are bound.
std::span<const FunctionDef> function_table() noexcept;
// How many leading rows are bound before the catalogue refresh at import
// (checked against the table where it is defined).
inline constexpr std::size_t kBoundBeforeRefresh = 2;

}  // namespace velmora

#endif  // VELMORA_MODULE_TABLE_HPP
