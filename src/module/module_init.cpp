// module_init.cpp: the entry symbol, the create and exec steps, and the
// module's process-wide state.
//
// The module allows one interpreter per process and initialises once per
// process: a later import (after the module left sys.modules, or a reload)
// gets the same module object back without running its statements again.
// A failed initialisation leaves nothing behind, so the next import starts
// from the beginning.
#include "module_frame.hpp"

#include <frameobject.h>

#include "module_function.hpp"
#include "module_table.hpp"

#include <cstdint>
#include <cstdio>

namespace velmora {
namespace {

// Process-wide state, as raw pointers and plain values: an RAII holder's
// destructor would run after the interpreter is gone.  The module object,
// once initialised, and the built-in print are kept for the life of the
// process, which has exactly one interpreter that may load the module.
PyObject* g_module = nullptr;  // strong once set
bool g_initialised = false;
// Exec steps of g_module under way: a host's own code that runs during the
// first import (its catalogue request) may import the module again, and
// that nested exec step runs on the same module object.
int g_exec_depth = 0;
bool g_have_interpreter = false;
std::int64_t g_interpreter_id = -1;
PyObject* g_print = nullptr;  // strong

constexpr const char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process.";

// -1 with the error set when the identifier cannot be read.
std::int64_t current_interpreter_id() noexcept {
  return PyInterpreterState_GetID(PyInterpreterState_Get());
}

// Copies one attribute of the import spec into the new module's namespace.
bool copy_spec_attribute(Borrowed spec, Borrowed module, const char* from,
                         const char* to, bool skip_none) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return true;
    }
    return false;
  }
  if (skip_none && value.get() == Py_None) return true;
  return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
  const std::int64_t id = current_interpreter_id();
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (!g_have_interpreter) {
    g_have_interpreter = true;
    g_interpreter_id = id;
  } else if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError, kInterpreterChange);
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (!copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) ||
      !copy_spec_attribute(spec, module.get(), "origin", "__file__", false) ||
      !copy_spec_attribute(spec, module.get(), "parent", "__package__", false) ||
      !copy_spec_attribute(spec, module.get(), "submodule_search_locations",
                           "__path__", true)) {
    return nullptr;
  }
  return module.release();
}

// Warns when the running interpreter is not the one the build is for; the
// import goes on unless the host has made the warning an error.
bool check_version() noexcept {
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  return PyErr_WarnFormat(
             PyExc_RuntimeWarning, 1,
             "compile time Python version %d.%d of module '%.100s' %s runtime "
             "version %d.%d",
             PY_MAJOR_VERSION, PY_MINOR_VERSION, "Velmora", "does not match",
             major, minor) == 0;
}

// The module's built-ins print, eval, range and chr, from its own
// __builtins__: any one missing fails the import.  Only print is used
// (by the catalogue), so only print is kept.
bool lookup_builtins(Borrowed globals) noexcept {
  static Name names[] = {Name{"print"}, Name{"eval"}, Name{"range"}, Name{"chr"}};
  Ref builtins = builtins_of(globals);  // held across the four searches
  for (Name& name : names) {
    Borrowed key = name.get();
    if (key == nullptr) return false;
    Ref found = builtins ? dict_item(builtins.get(), key) : Ref{};
    if (!found) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
      return false;
    }
    if (&name == &names[0]) Py_XSETREF(g_print, found.release());
  }
  return true;
}

// `import <name>`: binds the statement's value under the top-level name.
bool import_and_bind(Name& name, Name& bind_as, Borrowed globals) noexcept {
  Ref value = import_statement(name, globals);
  if (!value) return false;
  Borrowed key = bind_as.get();
  return key != nullptr && PyDict_SetItem(globals, key, value.get()) == 0;
}

bool bind_functions(std::size_t from, std::size_t to, Borrowed module,
                    Borrowed module_name, Borrowed globals) noexcept {
  const auto table = function_table();
  for (std::size_t i = from; i < to && i < table.size(); ++i) {
    Ref fn = function_new(table[i], module, module_name);
    if (!fn || PyDict_SetItemString(globals, table[i].name, fn.get()) < 0) return false;
  }
  return true;
}

// The module's statements, in order.
bool run_statements(Borrowed module, Borrowed globals) noexcept {
  static Name n_update{"update_plugin_list"};

  if (!import_and_bind(n_public, n_public, globals) ||
      !import_and_bind(n_os, n_os, globals) ||
      !import_and_bind(n_sys, n_sys, globals) ||
      !import_and_bind(n_json, n_json, globals) ||
      !import_and_bind(n_importlib, n_importlib, globals) ||
      !import_and_bind(n_importlib_util, n_importlib, globals) ||
      !import_and_bind(n_ctypes, n_ctypes, globals)) {
    return false;
  }

  // Under multi-phase init the name comes from the import spec.
  Ref module_name = get_attr(module, n_dunder_name);
  if (!module_name) return false;
  if (!bind_functions(0, kBoundBeforeRefresh, module, module_name.get(), globals)) {
    return false;
  }

  // The catalogue refresh runs before the remaining functions exist.
  const Scope scope(module, globals);
  Ref discarded = scope.call(n_update, {});
  if (!discarded) return false;

  return bind_functions(kBoundBeforeRefresh, function_table().size(), module,
                        module_name.get(), globals);
}

// Adds a traceback entry naming `function` to the pending exception, the
// way a failing Python frame would appear.  (The interpreters' private
// helper for this is gone from the headers in 3.13, so it is done here.)
void add_traceback_entry(const char* function) noexcept {
  CaughtError pending = CaughtError::fetch();
  Ref code = Ref::steal(
      reinterpret_cast<PyObject*>(PyCode_NewEmpty("<Velmora>", function, 0)));
  Ref globals = Ref::steal(PyDict_New());
  Ref frame;
  if (code && globals) {
    frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
        globals.get(), nullptr)));
  }
  // Failing to describe the failure must not replace it.
  PyErr_Clear();
  pending.restore();
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

int module_exec(PyObject* module) noexcept {
  // Once initialised, or while the first exec step is under way, another
  // module object (only C code can hand one over) is refused.
  if (g_initialised || g_exec_depth > 0) {
    if (module == g_module) {
      if (g_initialised) return 0;
    } else {
      PyErr_SetString(PyExc_RuntimeError,
                      "Module 'Velmora' has already been imported. "
                      "Re-initialisation is not supported.");
      return -1;
    }
  }

  static Name n_velmora{"Velmora"};
  bool entered_in_sys_modules = false;
  ++g_exec_depth;
  bool ok = [&]() noexcept {
    if (g_module == nullptr) g_module = Py_NewRef(module);
    Borrowed globals = PyModule_GetDict(module);
    if (globals == nullptr) return false;
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module ||
        PyObject_SetAttrString(module, "__builtins__", builtins_module.get()) < 0) {
      return false;
    }
    if (!check_version()) return false;

    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    Borrowed key = n_velmora.get();
    if (!modules || key == nullptr) return false;
    const int present = PyDict_Contains(modules.get(), key);
    if (present < 0) return false;
    if (present == 0) {
      if (PyDict_SetItem(modules.get(), key, module) < 0) return false;
      entered_in_sys_modules = true;
    }

    if (!lookup_builtins(globals)) return false;
    if (!function_type_ready()) return false;
    return run_statements(module, globals);
  }();
  --g_exec_depth;

  if (ok) {
    g_initialised = true;
    return 0;
  }

  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Velmora");
  add_traceback_entry("init Velmora");
  if (entered_in_sys_modules) {
    // Take back only the entry made above, keeping the pending error.
    CaughtError pending = CaughtError::fetch();
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    Ref current = modules ? dict_item(modules.get(), n_velmora.get()) : Ref{};
    if (current.get() == module) PyDict_DelItem(modules.get(), n_velmora.get());
    PyErr_Clear();
    pending.restore();
  }
  // A nested exec step that failed leaves the state to the one still under
  // way, which goes on with this module object and decides for itself; the
  // outermost one, failing, leaves nothing behind, even if a nested one
  // succeeded meanwhile.
  if (g_exec_depth == 0) {
    g_initialised = false;
    Py_CLEAR(g_module);
  }
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Velmora",     // m_name
    nullptr,       // m_doc
    0,             // m_size
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

Ref print(std::initializer_list<Borrowed> args) noexcept {
  if (g_print == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Velmora is not initialised");
    return {};
  }
  return call(g_print, args);
}

}  // namespace velmora

// CPython 3.7's PyMODINIT_FUNC does not mark the symbol visible (3.9 does),
// and everything else is hidden, so say it here.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_Velmora(void) {
  return PyModuleDef_Init(&velmora::module_def);
}
