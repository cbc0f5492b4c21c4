// host_calls.hpp: the one place that calls into the host's module `public`.
//
// Each function looks `public` up in the module namespace at the moment of
// the call (so a replacement the host binds takes effect), calls one of its
// functions with positional arguments only, and returns its result or a
// null Ref with the error set.  Every call may run arbitrary Python code.
#ifndef VELMORA_HOST_CALLS_HPP
#define VELMORA_HOST_CALLS_HPP

#include "module_frame.hpp"

namespace velmora::host {

// public.returnMsg(False, message): the runners' failure result.
Ref return_msg(const Scope& scope, Borrowed message) noexcept;
// The same with a fixed message text.
Ref return_msg(const Scope& scope, Text& message) noexcept;
// public.get_class_path(): the panel's class directory.
Ref get_class_path(const Scope& scope) noexcept;
// public.get_script_object(path): a module object, or a false value.
Ref get_script_object(const Scope& scope, Borrowed path) noexcept;
// public.HttpGet(url): the response body; raises when unreachable.
Ref http_get(const Scope& scope, Borrowed url) noexcept;
// public.error_conn_cloud(text): an exception object for the caller to raise.
Ref error_conn_cloud(const Scope& scope, Borrowed text) noexcept;
// public.readFile(path): the catalogue cache's content.
Ref cache_read_file(const Scope& scope, Borrowed path) noexcept;
// public.writeFile(path, text): writes the catalogue cache.
Ref cache_write_file(const Scope& scope, Borrowed path, Borrowed text) noexcept;
// public.get_panel_path(): the panel's root directory.
Ref get_panel_path(const Scope& scope) noexcept;
// public.GetRandomString(length): a random text of one-byte characters.
Ref get_random_string(const Scope& scope, Borrowed length) noexcept;
// public.get_div(text): the text to store in the IV file.
Ref get_div(const Scope& scope, Borrowed text) noexcept;
// public.WriteFile(path, text): writes the IV file (distinct from writeFile).
Ref write_file(const Scope& scope, Borrowed path, Borrowed text) noexcept;
// public.ReadFile(path): reads the IV file (distinct from readFile).
Ref read_file(const Scope& scope, Borrowed path) noexcept;

}  // namespace velmora::host

#endif  // VELMORA_HOST_CALLS_HPP
