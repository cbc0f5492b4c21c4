// host_calls.cpp: typed calls into the host module `public`.
#include "module_frame.hpp"

#include "host/host_calls.hpp"

namespace velmora::host {
namespace {

// public.<function>(*args), with `public` looked up now.
Ref call_public(const Scope& scope, Name& function,
                std::initializer_list<Borrowed> args) noexcept {
  Ref fn = scope.attr(n_public, function);
  if (!fn) return {};
  return call(fn.get(), args);
}

}  // namespace

Ref return_msg(const Scope& scope, Borrowed message) noexcept {
  static Name n{"returnMsg"};
  return call_public(scope, n, {Py_False, message});
}

Ref return_msg(const Scope& scope, Text& message) noexcept {
  Borrowed text = message.get();
  if (text == nullptr) return {};
  return return_msg(scope, text);
}

Ref get_class_path(const Scope& scope) noexcept {
  static Name n{"get_class_path"};
  return call_public(scope, n, {});
}

Ref get_script_object(const Scope& scope, Borrowed path) noexcept {
  static Name n{"get_script_object"};
  return call_public(scope, n, {path});
}

Ref http_get(const Scope& scope, Borrowed url) noexcept {
  static Name n{"HttpGet"};
  return call_public(scope, n, {url});
}

Ref error_conn_cloud(const Scope& scope, Borrowed text) noexcept {
  static Name n{"error_conn_cloud"};
  return call_public(scope, n, {text});
}

Ref cache_read_file(const Scope& scope, Borrowed path) noexcept {
  static Name n{"readFile"};
  return call_public(scope, n, {path});
}

Ref cache_write_file(const Scope& scope, Borrowed path, Borrowed text) noexcept {
  static Name n{"writeFile"};
  return call_public(scope, n, {path, text});
}

Ref get_panel_path(const Scope& scope) noexcept {
  static Name n{"get_panel_path"};
  return call_public(scope, n, {});
}

Ref get_random_string(const Scope& scope, Borrowed length) noexcept {
  static Name n{"GetRandomString"};
  return call_public(scope, n, {length});
}

Ref get_div(const Scope& scope, Borrowed text) noexcept {
  static Name n{"get_div"};
  return call_public(scope, n, {text});
}

Ref write_file(const Scope& scope, Borrowed path, Borrowed text) noexcept {
  static Name n{"WriteFile"};
  return call_public(scope, n, {path, text});
}

Ref read_file(const Scope& scope, Borrowed path) noexcept {
  static Name n{"ReadFile"};
  return call_public(scope, n, {path});
}

}  // namespace velmora::host
