// module_frame.hpp: what every part of the module shares.
//
// Reference rules, used everywhere:
//   * Every owned PyObject* lives in a Ref.  Producers return a Ref; a null
//     Ref means "failed, and the Python error indicator is set".  Nothing
//     else signals failure: no C++ exception crosses these functions.
//   * A plain PyObject* parameter or return value is borrowed; its type is
//     spelled Borrowed so that a reader sees it.  Turn a borrowed result into
//     a Ref before calling back into Python, which may drop it.
//   * Fallible yes/no helpers return Truth, whose `error` means "failed,
//     error set".
//
// Names a function uses from the module namespace (public, os, the module's
// own functions, ...) are looked up at the moment of use through Scope, so a
// host that rebinds a module attribute changes what the next call uses.
#ifndef VELMORA_MODULE_FRAME_HPP
#define VELMORA_MODULE_FRAME_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module_compat.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace velmora {

using Borrowed = PyObject*;

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (the result of most C API calls).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference of its own to a borrowed one.
  static Ref borrow(Borrowed p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  Borrowed get() const noexcept { return p_; }
  // Hands the reference to the caller (for returning to CPython).
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A yes/no answer that can fail: `error` means "failed, Python error set".
enum class Truth : signed char { error = -1, no = 0, yes = 1 };
constexpr Truth truth_of(bool value) noexcept { return value ? Truth::yes : Truth::no; }

// A str made on first use and kept for the life of the process (the module
// allows one interpreter per process).  Declare at namespace scope or as a
// function-local static.  get() is borrowed; null with the error set only if
// the str cannot be made.
template <bool Interned>
class ConstantStr {
 public:
  constexpr explicit ConstantStr(const char* utf8) noexcept : utf8_(utf8) {}
  ConstantStr(const ConstantStr&) = delete;
  ConstantStr& operator=(const ConstantStr&) = delete;
  // Whether it starts with two underscores, as every attribute name of the
  // module type and of object does.
  bool dunder() const noexcept { return utf8_[0] == '_' && utf8_[1] == '_'; }
  Borrowed get() noexcept {
    if (obj_ == nullptr) {
      obj_ = Interned ? PyUnicode_InternFromString(utf8_) : PyUnicode_FromString(utf8_);
    }
    return obj_;
  }

 private:
  const char* utf8_;
  PyObject* obj_ = nullptr;  // never released, like the module itself
};
// An identifier: a module, attribute, keyword or function name.
using Name = ConstantStr<true>;
// A fixed text: a message, a URL, a path piece, a key.
using Text = ConstantStr<false>;

// Names and texts that several parts use.
extern Name n_public, n_os, n_sys, n_json, n_importlib, n_importlib_util, n_ctypes, n_path,
    n_aes_encrypt, n_aes_decrypt, n_dunder_name;
extern Text t_slash;

// The namespace a call of an exported function runs in.  Holds borrowed
// pointers: the function object keeps the module and its dictionary alive
// for the whole call.
class Scope {
 public:
  Scope(Borrowed module, Borrowed globals) noexcept
      : module_(module), globals_(globals) {}
  Borrowed module() const noexcept { return module_; }
  Borrowed globals() const noexcept { return globals_; }

  // A module-level name: the module namespace first, then the module's own
  // built-ins; NameError "name '%U' is not defined" when neither has it.
  Ref lookup(Name& name) const noexcept;
  // lookup(module) then its attribute, e.g. attr(n_public, n_returnMsg).
  Ref attr(Name& module, Name& attribute) const noexcept;
  // lookup(name)(*args): a module-level function called by name, so that a
  // replacement the host bound is the one called.
  Ref call(Name& name, std::initializer_list<Borrowed> args) const noexcept;

 private:
  Borrowed module_;
  Borrowed globals_;
};

// The built-ins of the module whose namespace is `globals`: its
// `__builtins__`, a dictionary or a module (standing for its dictionary),
// as for any Python module's code, whoever calls.  Owned, so that it can be
// searched while a key's __eq__ rebinds `__builtins__`; null with no error
// set when the module has none (at shutdown, say), null with the error set
// when it is something else or the lookup failed.
Ref builtins_of(Borrowed globals) noexcept;
// dict[key] as an owned reference: null with no error set when absent, null
// with the error set when the search failed.  The caller owns `dict` for
// the whole search (see PyDict_GetItemRef).
Ref dict_item(Borrowed dict, Borrowed key) noexcept;

// --- Calling -------------------------------------------------------------
// Calls with positional arguments; may run arbitrary Python code.
Ref call(Borrowed callable, std::initializer_list<Borrowed> args) noexcept;
// Calls with positional arguments and keyword arguments (name, value).
Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> args,
            std::initializer_list<std::pair<Name*, Borrowed>> kwargs) noexcept;
// getattr(obj, name)(*args).
Ref call_method(Borrowed obj, Name& name,
                std::initializer_list<Borrowed> args) noexcept;

// --- Attributes, tests, conversions --------------------------------------
Ref get_attr(Borrowed obj, Name& name) noexcept;
Ref get_attr(Borrowed obj, Borrowed name) noexcept;

// bool(obj); the singletons answered here, everything else asked.
inline Truth truth(Borrowed obj) noexcept {
  if (obj == Py_True) return Truth::yes;
  if (obj == Py_False || obj == Py_None) return Truth::no;
  if (PyUnicode_CheckExact(obj)) {
    return str_ready(obj) ? truth_of(PyUnicode_GET_LENGTH(obj) != 0) : Truth::error;
  }
  const int status = PyObject_IsTrue(obj);
  return status < 0 ? Truth::error : truth_of(status != 0);
}
Truth equals(Borrowed a, Borrowed b) noexcept;        // a == b, then bool()
Truth contains(Borrowed container, Borrowed item) noexcept;  // item in container
// `key in request and request.<key> == 1`, the attribute read only when the
// membership test holds: how a request asks for an operation or method
// itself instead of the result of calling it.
Truth asks_for_object(Borrowed request, Name& key) noexcept;
Ref str_of(Borrowed obj) noexcept;                    // str(obj)
Ref format_of(Borrowed obj) noexcept;                 // format(obj, "")
Ref text(const char* utf8) noexcept;                  // new str from UTF-8
// str + str + ...: each piece must be a str (or subclass); the result is a
// new exact str.
Ref concat(std::initializer_list<Borrowed> texts) noexcept;
Ref integer(long value) noexcept;

// The `import a.b` statement's value: the top-level package, through the
// module's built-in __import__ (so the host's import hooks apply).
Ref import_statement(Name& dotted_name, Borrowed globals) noexcept;
// `from <package> import <attribute>`: the attribute, or the submodule of
// that name; ImportError "cannot import name ..." when there is neither.
Ref import_from(Name& package, Name& attribute, Borrowed globals) noexcept;

// --- File-system tests through the module-level `os` --------------------
// os.path.exists(path) / os.path.isdir(path), `os` looked up now, then the
// truth test of the answer.
Truth os_path_exists(const Scope& scope, Borrowed path) noexcept;
Truth os_path_isdir(const Scope& scope, Borrowed path) noexcept;

// --- The built-in print, looked up once at initialisation -------------
Ref print(std::initializer_list<Borrowed> args) noexcept;

// --- Exceptions ----------------------------------------------------------
// The `raise obj` statement: an instance is raised as is, a class is called
// first, anything else is a TypeError.  Always returns a null Ref.
Ref raise_object(Borrowed obj) noexcept;

// An exception taken off the error indicator (normalised), as
// `except ... as e` holds it.  restore() puts it back.
class CaughtError {
 public:
  // Takes the pending exception; the indicator must be set.
  static CaughtError fetch() noexcept;
  bool matches(Borrowed exception_class) const noexcept;
  Borrowed value() const noexcept { return value_.get(); }
  // Raises it again, unchanged; returns a null Ref.
  Ref restore() noexcept;
  // Makes this exception the __context__ of the one now pending, as a
  // raise inside an except block does, and as that raise does, takes the
  // pending one out of this one's own __context__ chain first, so that no
  // chain becomes a cycle.
  void chain_into_pending() const noexcept;

 private:
  Ref value_;  // the exception object, its traceback attached
};

}  // namespace velmora

#endif  // VELMORA_MODULE_FRAME_HPP
