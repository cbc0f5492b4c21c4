// module_frame.hpp: what every part of the module shares.
//
// Reference rules, used everywhere:
//   * Every owned PyObject* lives in a Ref.  Producers return a Ref; a null
//     Ref means "failed, and the Python error indicator is set".  Nothing
//     else signals failure: no C++ exception crosses these functions.
//   * A plain PyObject* parameter or return value is borrowed; its type is
//     spelled Borrowed so that a reader sees it.  Turn a borrowed result into
//     a Ref before calling back into Python, which may drop it.
//   * Truth-valued helpers return Truth: empty means "failed, error set".
//
// Names a function uses from the module namespace (public, os, the module's
// own functions, ...) are looked up at the moment of use through Scope, so a
// host that rebinds a module attribute changes what the next call uses.
#ifndef VELMORA_MODULE_FRAME_HPP
#define VELMORA_MODULE_FRAME_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

// Newer C API names, for the older interpreters this module is built for.
#if PY_VERSION_HEX < 0x030A0000
// bpo-42262: Py_NewRef arrived in 3.10.
static inline PyObject* Py_NewRef(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}
#endif

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
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

using Truth = std::optional<bool>;

// An interned identifier or literal text, made on first use and kept for the
// life of the process (the module allows one interpreter per process).
// Declare as a namespace-scope or function-local static:
//   static Name n_public{"public"};
class Name {
 public:
  constexpr explicit Name(const char* text) noexcept : text_(text) {}
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;
  // Borrowed; null with the error set only if the text cannot be made.
  Borrowed get() noexcept { return obj_ != nullptr ? obj_ : make(); }
  const char* text() const noexcept { return text_; }
  // Whether the text starts with two underscores.  Only such names can be
  // attributes of the module type or of object themselves.
  constexpr bool is_dunder() const noexcept {
    return text_[0] == '_' && text_[1] == '_';
  }

 private:
  friend Borrowed dict_get(Borrowed dict, Name& name) noexcept;
  Borrowed make() noexcept;

  // The last value found under this name, with the dictionary it came from
  // and that dictionary's version at the time.  The interpreter gives a
  // dictionary a new version on every change and a version never seen
  // before on creation, so while both match, the dictionary still holds
  // that very value under this name.
  struct Hit {
    Borrowed dict = nullptr;
    std::uint64_t version = 0;
    Borrowed value = nullptr;
  };

  const char* text_;
  PyObject* obj_ = nullptr;
  Hit hit_;
};

// dict[name], borrowed, without calling into Python; null with no error
// set when the name is absent, null with the error set when the lookup
// failed.  Repeated lookups of an unchanged dictionary cost a comparison.
Borrowed dict_get(Borrowed dict, Name& name) noexcept;

// The namespace a call of an exported function runs in.  Holds borrowed
// pointers: the function object keeps the module and its dictionary alive
// for the whole call.
class Scope {
 public:
  Scope(Borrowed module, Borrowed globals) noexcept
      : module_(module), globals_(globals) {}
  Borrowed module() const noexcept { return module_; }
  Borrowed globals() const noexcept { return globals_; }

  // A module-level name: the module namespace first, then the built-ins;
  // NameError "name '%U' is not defined" when neither has it.
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

// --- Calling -------------------------------------------------------------
// Calls with positional arguments; may run arbitrary Python code.
Ref call(Borrowed callable, std::initializer_list<Borrowed> args) noexcept;
// Calls with positional arguments and keyword arguments (name, value).
Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> args,
            std::initializer_list<std::pair<Name*, Borrowed>> kwargs) noexcept;
// getattr(obj, name)(*args), without making a bound method where the
// interpreter's own method call would not make one either.
Ref call_method(Borrowed obj, Name& name,
                std::initializer_list<Borrowed> args) noexcept;

// --- Attributes, tests, conversions --------------------------------------
Ref get_attr(Borrowed obj, Name& name) noexcept;
Ref get_attr(Borrowed obj, Borrowed name) noexcept;
Truth truth_of_object(Borrowed obj) noexcept;
// bool(obj); the singletons answered here, everything else out of line.
inline Truth truth(Borrowed obj) noexcept {
  if (obj == Py_True) return true;
  if (obj == Py_False || obj == Py_None) return false;
  return truth_of_object(obj);
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
// built-in __import__ (so the host's import hooks apply).  While that is the
// interpreter's own __import__, the import machinery is entered directly, as
// the interpreter's own import statement does.
Ref import_statement(Name& dotted_name, Borrowed globals) noexcept;
// `from <package> import <attribute>`: the attribute, or the submodule of
// that name; ImportError "cannot import name ..." when there is neither.
Ref import_from(Name& package, Name& attribute, Borrowed globals) noexcept;

// --- File-system tests through the module-level `os` --------------------
// os.path.exists(path) / os.path.isdir(path), `os` looked up now, then the
// truth test of the answer.
Truth os_path_exists(const Scope& scope, Borrowed path) noexcept;
Truth os_path_isdir(const Scope& scope, Borrowed path) noexcept;

// --- Built-ins looked up once at initialisation --------------------------
enum class Builtin { print, eval, range, chr };
// Borrowed; valid once the module is initialised.
Borrowed builtin(Builtin which) noexcept;
// print(*args) through the built-in print looked up at initialisation.
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
  // raise inside an except block does.
  void chain_into_pending() const noexcept;

 private:
  Ref type_, value_, traceback_;
};

}  // namespace velmora

#endif  // VELMORA_MODULE_FRAME_HPP
