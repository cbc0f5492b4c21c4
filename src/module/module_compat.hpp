// module_compat.hpp: every difference between the CPython versions the
// module is built for, and nothing else.
//
// Each shim carries the name of the newest CPython's own API and, on older
// interpreters, does what that API does with what they offer; on the newest
// it is the interpreter's own.  Code elsewhere is written for the newest
// CPython and tests no version.  Included by module_frame.hpp, right after
// Python.h.
#ifndef VELMORA_MODULE_COMPAT_HPP
#define VELMORA_MODULE_COMPAT_HPP

#ifndef Py_PYTHON_H
#error "include Python.h (through module_frame.hpp) first"
#endif

#include <cstddef>
#include <cstring>

// --- References (3.10) ------------------------------------------------------

#if PY_VERSION_HEX < 0x030A0000
// bpo-42262: Py_NewRef arrived in 3.10.
static inline PyObject* Py_NewRef(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// gh-106004: PyDict_GetItemRef arrived in 3.13.  1 and a new reference
// when found, 0 and null when not, -1 with the error set.  As with the
// interpreter's own, the caller must own `mp` for the whole search: a key's
// __eq__ may run and drop every other reference to it.
static inline int PyDict_GetItemRef(PyObject* mp, PyObject* key, PyObject** result) {
  PyObject* item = PyDict_GetItemWithError(mp, key);
  if (item != nullptr) {
    *result = Py_NewRef(item);
    return 1;
  }
  *result = nullptr;
  return PyErr_Occurred() ? -1 : 0;
}
#endif

// --- Text ---------------------------------------------------------------------

// Makes a str's characters readable: before 3.12 a str made by the old
// wide-character API has none until it is readied; 3.12 (PEP 623) has no
// such str and deprecates the call.  False with the error set on failure.
static inline bool str_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(text) == 0;
#else
  (void)text;
  return true;
#endif
}

// --- The raised exception (3.12) ---------------------------------------------

#if PY_VERSION_HEX < 0x030C0000
// gh-101578: 3.12 keeps the raised exception as one object, and deprecates
// PyErr_Fetch/PyErr_Restore, which hand it over as (type, value, traceback).
// Takes the raised exception (normalised, its traceback attached) off the
// indicator; null when none is set.
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}
// Raises `exc` (stolen) with its own traceback; null clears the indicator.
static inline void PyErr_SetRaisedException(PyObject* exc) {
  PyObject* type = nullptr;
  PyObject* traceback = nullptr;
  if (exc != nullptr) {
    type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    traceback = PyException_GetTraceback(exc);
  }
  PyErr_Restore(type, exc, traceback);
}
#endif

// --- Interpreters (3.9) ---------------------------------------------------------

#if PY_VERSION_HEX < 0x03090000
// bpo-35886: PyInterpreterState_Get() is public from 3.9 on; before, the
// thread state's `interp` (its one documented member) says the same.
static inline PyInterpreterState* PyInterpreterState_Get(void) {
  return PyThreadState_Get()->interp;
}
#endif

// Whether this thread is still unwinding from a RecursionError that went
// past the limit.  3.7 and 3.8 end the process ("Cannot recover from stack
// overflow") when such a thread goes 50 levels further, as handlers on the
// way out easily do, so no call may start meanwhile; the flag is the one
// their own Py_LeaveRecursiveCall resets.  3.9 and later recover by
// themselves.
static inline bool recursion_overflowed(void) {
#if PY_VERSION_HEX < 0x03090000
  return PyThreadState_GET()->overflowed != 0;
#else
  return false;
#endif
}

// --- Vectorcall (PEP 590: provisional in 3.8, public from 3.9) ---------------

#if PY_VERSION_HEX < 0x03080000
// 3.7 has no vectorcall: the type below only describes an entry that no
// 3.7 caller uses, and PyObject_Vectorcall goes through the tuple-and-dict
// call, the only protocol there is.
typedef PyObject* (*vectorcallfunc)(PyObject* callable, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames);
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
static inline Py_ssize_t PyVectorcall_NARGS(size_t nargsf) {
  return static_cast<Py_ssize_t>(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}
static inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args,
                                            size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
  PyObject* tuple = PyTuple_New(npos);
  if (tuple == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < npos; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
  PyObject* kwargs = nullptr;
  if (kwnames != nullptr) {
    kwargs = PyDict_New();
    for (Py_ssize_t i = 0; kwargs != nullptr && i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[npos + i]) < 0) {
        Py_CLEAR(kwargs);
      }
    }
    if (kwargs == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
  }
  PyObject* result = PyObject_Call(callable, tuple, kwargs);
  Py_DECREF(tuple);
  Py_XDECREF(kwargs);
  return result;
}
#elif PY_VERSION_HEX < 0x03090000
// bpo-36974: 3.8 spells the call with an underscore.
static inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args,
                                            size_t nargsf, PyObject* kwnames) {
  return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif

// --- Types made by PyType_FromSpec ------------------------------------------

// The type flags of the newest CPython, with their values there, for the
// interpreters that lack them; type_from_spec() takes them out of the PyType_Spec
// before such an interpreter sees it and does what it can of their meaning.
#if PY_VERSION_HEX < 0x03090000
#define Py_TPFLAGS_HAVE_VECTORCALL (1UL << 11)
#endif
#if PY_VERSION_HEX < 0x030A0000
#define Py_TPFLAGS_DISALLOW_INSTANTIATION (1UL << 7)
#define Py_TPFLAGS_IMMUTABLETYPE (1UL << 8)
#endif
// 3.12 names the member types in Python.h and deprecates structmember.h.
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace velmora::compat {

// PyType_FromSpec(spec) as 3.10 and later read a spec: the special members
// __dictoffset__, __weaklistoffset__ and __vectorcalloffset__ (3.9,
// bpo-38140, bpo-40584) set the type's offsets, and
// Py_TPFLAGS_DISALLOW_INSTANTIATION leaves the type without tp_new (3.10,
// bpo-43916).  Py_TPFLAGS_IMMUTABLETYPE (bpo-43908) has no older
// equivalent and is dropped.  A new reference, or null with the error set.
inline PyObject* type_from_spec(PyType_Spec* spec) {
#if PY_VERSION_HEX >= 0x030A0000
  return PyType_FromSpec(spec);
#else
  constexpr unsigned long kNewer = Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE
#if PY_VERSION_HEX < 0x03090000
      // 3.8's type_ready asserts a non-zero vectorcall offset with the flag;
      // the offset is only known after the type is made, so the flag is
      // set after it.
      | Py_TPFLAGS_HAVE_VECTORCALL
#endif
      ;
  PyType_Spec older = *spec;
  older.flags = spec->flags & ~kNewer;
  PyObject* made = PyType_FromSpec(&older);
  if (made == nullptr) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(made);
  if (spec->flags & Py_TPFLAGS_DISALLOW_INSTANTIATION) type->tp_new = nullptr;
#if PY_VERSION_HEX < 0x03090000
  // The special members became ordinary read-only members here: take their
  // offsets and remove them again.
  for (PyType_Slot* slot = spec->slots; slot->slot != 0; ++slot) {
    if (slot->slot != Py_tp_members) continue;
    for (auto* member = static_cast<PyMemberDef*>(slot->pfunc); member->name != nullptr;
         ++member) {
      const Py_ssize_t offset = member->offset;
      if (std::strcmp(member->name, "__dictoffset__") == 0) {
        type->tp_dictoffset = offset;
      } else if (std::strcmp(member->name, "__weaklistoffset__") == 0) {
        type->tp_weaklistoffset = offset;
      } else if (std::strcmp(member->name, "__vectorcalloffset__") == 0) {
#if PY_VERSION_HEX >= 0x03080000
        type->tp_vectorcall_offset = offset;
        if (spec->flags & Py_TPFLAGS_HAVE_VECTORCALL) type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#endif
      } else {
        continue;
      }
      if (PyDict_DelItemString(type->tp_dict, member->name) < 0) {
        Py_DECREF(made);
        return nullptr;
      }
    }
  }
#endif
  // Fields set after the type was readied: its lookup cache must not keep
  // what it saw before.
  PyType_Modified(type);
  return made;
#endif
}

}  // namespace velmora::compat

#endif  // VELMORA_MODULE_COMPAT_HPP
