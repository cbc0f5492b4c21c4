/* The yardstick for the import benchmark: a C extension module with nothing
 * in it, built with the same compiler and flags as Velmora. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static struct PyModuleDef velmora_empty_def = {
    PyModuleDef_HEAD_INIT, "velmora_empty", NULL, 0, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_velmora_empty(void) { return PyModule_Create(&velmora_empty_def); }
