// module_state.hpp: the module's process-wide state.
//
// The module declares no per-module state.  What it keeps lives in static
// storage as raw pointers and plain values, never as RAII holders: their
// destructors would run after the interpreter is gone.  The module object,
// once initialised, and the four built-ins are kept for the life of the
// process, which has exactly one interpreter that may load the module.
#ifndef VELMORA_MODULE_STATE_HPP
#define VELMORA_MODULE_STATE_HPP

#include "module_frame.hpp"

namespace velmora::state {

// Borrowed; null before initialisation.
Borrowed builtin(Builtin which) noexcept;

}  // namespace velmora::state

#endif  // VELMORA_MODULE_STATE_HPP
