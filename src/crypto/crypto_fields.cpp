// crypto_fields.cpp: database field encryption and its key material.
//
// A field is encrypted line by line under a key shared by every
// installation and an IV particular to the installation, kept in
// data/div.pl under the panel root, encrypted under the module key.  The
// field calls answer every ordinary failure with {"status": False, "msg":
// <the input as given>}, so a value that cannot be processed is never lost
// and never passed off as processed.
#include "module_frame.hpp"

#include "crypto/crypto.hpp"
#include "host/host_calls.hpp"

#include <optional>

#include <unistd.h>

namespace velmora::crypto {
namespace {

Name n_link{"link"};
Name n_remove{"remove"};
Name n_split{"split"};
Text t_newline{"\n"};
Name n_status{"status"};
Name n_msg{"msg"};
Text t_iv_file_suffix{"/data/div.pl"};
Name n_get_db_sgin{"__get_db_sgin"};
Name n_get_db_iv{"__get_db_iv"};
Name n_aes_encrypt_module{"__aes_encrypt_module"};
Name n_aes_decrypt_module{"__aes_decrypt_module"};

// Sources of the database key and of the fallback IV: the characters at
// even positions 0..30 of each form the 16-character text.  Stored fields
// depend on both, so they must never change.
constexpr char kKeySource[] = "9fKq#2Lw!xP7@mZ4$vR8%tB3&nH6*yD1";
constexpr char kFallbackIvSource[] = "hU3e%Wk8;Ra1^zM5~oY7?cF2+sJ9-gT4";
static_assert(sizeof kKeySource == 33 && sizeof kFallbackIvSource == 33);

Ref even_characters(const char (&source)[33]) noexcept {
  char picked[16];
  for (int i = 0; i <= 30; i += 2) picked[i / 2] = source[i];
  return Ref::steal(PyUnicode_DecodeASCII(picked, sizeof picked, "strict"));
}

// os.<name>(args...) through the module-level os; an OSError is swallowed
// (reported as false), anything else propagates (empty).
Truth os_call_tolerating_oserror(const Scope& scope, Name& name,
                                 std::initializer_list<Borrowed> args) noexcept {
  Ref fn = scope.attr(n_os, name);
  if (fn) {
    Ref done = call(fn.get(), args);
    if (done) return Truth::yes;
  }
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return Truth::error;
  PyErr_Clear();
  return Truth::no;
}

// Where the IV file really lives: os.path.realpath through the module-level
// os.  When data/div.pl is a symbolic link whose target is missing, the file
// has to be made at the target, or the link never resolves and every call
// goes on with the fallback IV.
Ref real_location(const Scope& scope, Borrowed iv_file) noexcept {
  static Name n_realpath{"realpath"};
  Ref os_path = scope.attr(n_os, n_path);
  if (!os_path) return {};
  Ref target = call_method(os_path.get(), n_realpath, {iv_file});
  if (target && !PyUnicode_Check(target.get())) {
    PyErr_Format(PyExc_TypeError, "os.path.realpath() returned %.200s, not str",
                 Py_TYPE(target.get())->tp_name);
    return {};
  }
  return target;
}

// Whether the written file reads back as exactly what was written.  A host
// whose WriteFile fails after creating the file (a full disk) leaves it
// empty or cut short, and an IV file, once in place, is never rewritten.
// A read that fails with OSError (nothing was written at all) is as
// unusable as a short one.
Truth reads_back(const Scope& scope, Borrowed path, Borrowed content) noexcept {
  Ref stored = host::read_file(scope, path);
  if (!stored) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return Truth::error;
    PyErr_Clear();
    return Truth::no;
  }
  if (PyUnicode_Check(stored.get()) && PyUnicode_Check(content)) {
    return truth_of(PyUnicode_Compare(stored.get(), content) == 0);
  }
  return equals(stored.get(), content);
}

// Creates the IV file with `content` unless another process or thread got
// there first: written to a file of our own beside it, checked, and
// hard-linked into place, which fails if the IV file exists, so the first
// creator's IV is never overwritten while in use.  False with the error set
// only for errors that must propagate.
bool create_iv_file(const Scope& scope, Borrowed iv_file, Borrowed content) noexcept {
  Ref target = real_location(scope, iv_file);
  if (!target) return false;
  Ref temp = Ref::steal(PyUnicode_FromFormat("%U.%ld.%lu.tmp", target.get(),
                                             static_cast<long>(getpid()),
                                             PyThread_get_thread_ident()));
  if (!temp) return false;
  Ref written = host::write_file(scope, temp.get(), content);
  // Error: one to propagate.  No: not linked, and the caller goes on as if
  // the file could not be made.
  Truth linked = Truth::no;
  if (written) {
    linked = reads_back(scope, temp.get(), content);
    if (linked == Truth::yes) {
      linked = os_call_tolerating_oserror(scope, n_link, {temp.get(), target.get()});
    }
  }

  // The temporary name goes in every case; the pending error, if any, is
  // kept across the removal.
  const bool failed = !written || linked == Truth::error;
  std::optional<CaughtError> pending;
  if (failed) pending = CaughtError::fetch();
  Truth removed = os_call_tolerating_oserror(scope, n_remove, {temp.get()});
  if (pending) {
    if (removed == Truth::error) PyErr_Clear();
    pending->restore();
    return false;
  }
  return removed != Truth::error;
}

// The per-line procedure shared by db_encrypt and db_decrypt: the cipher
// operation `op` applied to every non-empty line, the results joined by
// line breaks so that a multi-line field comes back line by line.
Ref process_field(const Scope& scope, Borrowed data, Name& op) noexcept {
  Ref key = scope.call(n_get_db_sgin, {});
  if (!key) return {};
  Ref iv = scope.call(n_get_db_iv, {});
  if (!iv) return {};
  Borrowed newline = t_newline.get();
  if (!newline) return {};
  Ref pieces = PyUnicode_CheckExact(data)
      ? Ref::steal(PyUnicode_Split(data, newline, -1))
      : call_method(data, n_split, {newline});
  if (!pieces) return {};
  Ref iterator = Ref::steal(PyObject_GetIter(pieces.get()));
  if (!iterator) return {};
  Ref results = Ref::steal(PyList_New(0));
  if (!results) return {};
  while (Ref piece = Ref::steal(PyIter_Next(iterator.get()))) {
    if (PyUnicode_CheckExact(piece.get())) {
      if (PyUnicode_GET_LENGTH(piece.get()) == 0) continue;
    } else {
      Truth nonempty = truth(piece.get());
      if (nonempty == Truth::error) return {};
      if (nonempty == Truth::no) continue;
    }
    Ref done = scope.call(op, {piece.get(), key.get(), iv.get()});
    if (!done || PyList_Append(results.get(), done.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return Ref::steal(PyUnicode_Join(newline, results.get()));
}

// {"status": ..., "msg": ...}.  An exception of class Exception becomes
// status False with the caller's own object as msg; interrupts and exit
// requests are not ours to swallow and propagate.
Ref field_result(const Scope& scope, Borrowed data, Name& op) noexcept {
  Ref processed = process_field(scope, data, op);
  if (!processed) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    PyErr_Clear();
  }
  Borrowed status = n_status.get();
  Borrowed msg = n_msg.get();
  if (!status || !msg) return {};
  Ref result = Ref::steal(PyDict_New());
  if (!result) return {};
  if (PyDict_SetItem(result.get(), status, processed ? Py_True : Py_False) < 0 ||
      PyDict_SetItem(result.get(), msg, processed ? processed.get() : data) < 0)
    return {};
  return result;
}

}  // namespace

Ref db_encrypt(const Scope& scope, const Borrowed* args) noexcept {
  return field_result(scope, args[0], n_aes_encrypt);
}

Ref db_decrypt(const Scope& scope, const Borrowed* args) noexcept {
  return field_result(scope, args[0], n_aes_decrypt);
}

Ref get_db_sgin(const Scope&, const Borrowed*) noexcept {
  return even_characters(kKeySource);
}

Ref get_db_iv(const Scope& scope, const Borrowed*) noexcept {
  Ref panel_path = host::get_panel_path(scope);
  if (!panel_path) return {};
  Ref panel_text = format_of(panel_path.get());
  if (!panel_text) return {};
  Borrowed suffix = t_iv_file_suffix.get();
  if (!suffix) return {};
  Ref iv_file = concat({panel_text.get(), suffix});
  if (!iv_file) return {};

  Truth exists = os_path_exists(scope, iv_file.get());
  if (exists == Truth::error) return {};
  if (exists == Truth::no) {
    Ref length = integer(16);
    if (!length) return {};
    Ref random = host::get_random_string(scope, length.get());
    if (!random) return {};
    Ref encrypted = scope.call(n_aes_encrypt_module, {random.get()});
    if (!encrypted) return {};
    Ref content = host::get_div(scope, encrypted.get());
    if (!content) return {};
    if (!create_iv_file(scope, iv_file.get(), content.get())) return {};
  }
  // Whoever created the file, what it holds now is the IV.
  exists = os_path_exists(scope, iv_file.get());
  if (exists == Truth::error) return {};
  if (exists == Truth::yes) {
    Ref stored = host::read_file(scope, iv_file.get());
    if (!stored) return {};
    return scope.call(n_aes_decrypt_module, {stored.get()});
  }
  return even_characters(kFallbackIvSource);
}

}  // namespace velmora::crypto
