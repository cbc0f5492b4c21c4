/* The benchmark's measuring loop, in C so that the loop itself costs next
 * to nothing and costs the same for every function measured.
 *
 *   run(fn, n, expected) -> elapsed nanoseconds for n calls of fn()
 *
 * A call that raises an instance of `expected` (None: nothing is expected)
 * counts as a completed call; any other exception ends the loop and
 * propagates.  Under callgrind (--collect-atstart=no) the loop, and only the
 * loop, is collected, and its counts are dumped under `label` when one is
 * given. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <time.h>

#ifdef VELMORA_BENCH_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_DUMP_STATS_AT(label) ((void)(label))
#endif

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static PyObject* bench_run(PyObject* self, PyObject* args) {
  PyObject *fn, *expected;
  Py_ssize_t n;
  const char* label = "";
  (void)self;
  if (!PyArg_ParseTuple(args, "OnO|s", &fn, &n, &expected, &label)) return NULL;
  if (expected == Py_None) expected = NULL;
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
  long long start = now_ns();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* result = PyObject_CallObject(fn, NULL);
    if (result != NULL) {
      Py_DECREF(result);
    } else if (expected != NULL && PyErr_ExceptionMatches(expected)) {
      PyErr_Clear();
    } else {
      CALLGRIND_TOGGLE_COLLECT;
      return NULL;
    }
  }
  long long elapsed = now_ns() - start;
  CALLGRIND_TOGGLE_COLLECT;
  if (label[0] != '\0') CALLGRIND_DUMP_STATS_AT(label);
  return PyLong_FromLongLong(elapsed);
}

static PyObject* bench_has_callgrind(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
#ifdef VELMORA_BENCH_CALLGRIND
  Py_RETURN_TRUE;
#else
  Py_RETURN_FALSE;
#endif
}

static PyMethodDef bench_methods[] = {
    {"run", bench_run, METH_VARARGS, "run(fn, n, expected[, label]) -> ns for n calls"},
    {"has_callgrind", bench_has_callgrind, METH_NOARGS, "built with callgrind requests"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef bench_def = {
    PyModuleDef_HEAD_INIT, "velmora_bench", NULL, 0, bench_methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_velmora_bench(void) { return PyModule_Create(&bench_def); }
