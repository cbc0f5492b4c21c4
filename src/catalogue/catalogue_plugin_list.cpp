// catalogue_plugin_list.cpp: the plugin catalogue, fetched from the cloud
// and kept, as the raw answer, in a cache file relative to the working
// directory.  The cloud is asked unless the caller asks for the cache and
// the cache file exists; nothing is kept in memory between calls.
#include "module_frame.hpp"

#include "catalogue/catalogue.hpp"
#include "host/host_calls.hpp"

#ifndef VELMORA_CLOUD_ROOT
#error "VELMORA_CLOUD_ROOT must name the cloud API root URL"
#endif

namespace velmora::catalogue {
namespace {

Name n_loads{"loads"}, n_list{"list"}, n_force{"force"}, n_get_plugin_list{"get_plugin_list"};

// Fixed texts, made once: a str cannot be changed, so sharing one object
// between calls shows nowhere.
Text t_api_root_url{VELMORA_CLOUD_ROOT};
Text t_api_path{"/api/panel/getSoftList"};
Text t_cache_file{"data/plugin_list.json"};

// force == 0.  An exact int (whose equality nobody can override) is
// compared by value; anything else is asked, as `==` would ask it.
Truth equals_zero(Borrowed force) noexcept {
  if (PyLong_CheckExact(force)) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(force, &overflow);
    if (value == -1 && PyErr_Occurred()) return Truth::error;
    return truth_of(overflow == 0 && value == 0);
  }
  Ref zero = integer(0);
  if (!zero) return Truth::error;
  return equals(force, zero.get());
}

Ref json_loads(const Scope& scope, Borrowed text) noexcept {
  Ref loads = scope.attr(n_json, n_loads);
  if (!loads) return {};
  return call(loads.get(), {text});
}

// The guarded request: the answer text, printed, or null with the pending
// error when anything in it raised.
Ref request(const Scope& scope, Borrowed api_url) noexcept {
  Ref answer = host::http_get(scope, api_url);
  if (!answer) return {};
  static Text t_label{"HTTP GET Response:"};
  Borrowed label = t_label.get();
  if (label == nullptr) return {};
  if (!print({label, answer.get()})) return {};
  return answer;
}

// Raises the error the checks report for a cloud answer that is not a
// catalogue: its own text when the cloud sent a JSON string.
Ref reject(Borrowed decoded) noexcept {
  if (PyUnicode_CheckExact(decoded)) {
    PyErr_SetObject(PyExc_Exception, decoded);
    return {};
  }
  PyErr_SetString(PyExc_Exception, "云端插件列表获取失败");
  return {};
}

// Writes the raw answer to the cache; a failure is reported and ignored.
bool refresh_cache(const Scope& scope, Borrowed cache_file, Borrowed answer) noexcept {
  static Text t_done{"Data written to cache file successfully."},
      t_failed{"Error writing to cache file:"};
  Ref written = host::cache_write_file(scope, cache_file, answer);
  if (written) {
    Borrowed done = t_done.get();
    if (done != nullptr && print({done})) return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  CaughtError write_ex = CaughtError::fetch();
  Ref message = str_of(write_ex.value());
  Borrowed failed = t_failed.get();
  if (message && failed != nullptr && print({failed, message.get()})) return true;
  write_ex.chain_into_pending();
  return false;
}

}  // namespace

Ref get_plugin_list(const Scope& scope, const Borrowed* args) noexcept {
  Borrowed force = args[0];
  Borrowed api_root_url = t_api_root_url.get();
  Borrowed api_path = t_api_path.get();
  Borrowed cache_file = t_cache_file.get();
  if (!api_root_url || !api_path || !cache_file) return {};
  Ref api_url = concat({api_root_url, api_path});
  if (!api_url) return {};

  const Truth wants_cache = equals_zero(force);
  if (wants_cache == Truth::error) return {};
  if (wants_cache == Truth::yes) {
    const Truth cached = os_path_exists(scope, cache_file);
    if (cached == Truth::error) return {};
    if (cached == Truth::yes) {
      Ref content = host::cache_read_file(scope, cache_file);
      if (!content) return {};
      return json_loads(scope, content.get());
    }
  }

  Ref json_data = request(scope, api_url.get());
  if (!json_data) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    CaughtError ex = CaughtError::fetch();
    Ref message = str_of(ex.value());
    Ref error = message ? host::error_conn_cloud(scope, message.get()) : Ref{};
    if (error) raise_object(error.get());
    ex.chain_into_pending();
    return {};
  }

  Ref soft_list = json_loads(scope, json_data.get());
  if (!soft_list) return {};
  if (!PyDict_CheckExact(soft_list.get())) return reject(soft_list.get());
  Borrowed list_key = n_list.get();
  if (list_key == nullptr) return {};
  const int has_list = PyDict_Contains(soft_list.get(), list_key);
  if (has_list < 0) return {};
  if (has_list == 0) return reject(soft_list.get());

  if (!refresh_cache(scope, cache_file, json_data.get())) return {};
  return soft_list;
}

Ref update_plugin_list(const Scope& scope, const Borrowed*) noexcept {
  static Text t_label{"Updated plugin list:"};
  Ref fetch = scope.lookup(n_get_plugin_list);
  if (!fetch) return {};
  Ref one = integer(1);
  if (!one) return {};
  Ref plugin_list = call_kw(fetch.get(), {}, {{&n_force, one.get()}});
  if (!plugin_list) return {};
  Borrowed label = t_label.get();
  if (label == nullptr || !print({label, plugin_list.get()})) return {};
  return plugin_list;
}

}  // namespace velmora::catalogue
