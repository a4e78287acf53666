/* The calling floor: one METH_VARARGS | METH_KEYWORDS function binding the
 * same seven parameters as varnelle's functions (s, k, t, r, sigma, q=0.0,
 * option_type="call"), converting the doubles and returning a float without
 * pricing anything. Built only for benchmarks; never shipped. */
#define Py_LIMITED_API 0x030C0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

static const char* const kNames[7] = {"s", "k", "t", "r", "sigma", "q", "option_type"};
static PyObject* interned[7];

/* The least binding this calling convention allows: slots from the tuple,
 * keywords matched by pointer against interned names, then converted. */
static PyObject* floor_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    PyObject* slots[7] = {0};
    Py_ssize_t n = PyTuple_Size(args);
    if (n > 7) {
        PyErr_SetString(PyExc_TypeError, "too many positional arguments");
        return NULL;
    }
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (kwargs != NULL) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int i = 0;
            while (i < 7 && key != interned[i]) ++i;
            if (i == 7) {
                Py_ssize_t size;
                const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
                if (utf8 == NULL) return NULL;
                for (i = 0; i < 7; ++i)
                    if ((size_t)size == strlen(kNames[i]) && memcmp(utf8, kNames[i], (size_t)size) == 0) break;
                if (i == 7) {
                    PyErr_SetString(PyExc_TypeError, "unexpected keyword argument");
                    return NULL;
                }
            }
            if (slots[i] != NULL) {
                PyErr_SetString(PyExc_TypeError, "multiple values");
                return NULL;
            }
            slots[i] = value;
        }
    }
    double values[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6; ++i) {
        if (slots[i] == NULL) {
            if (i < 5) {
                PyErr_SetString(PyExc_TypeError, "missing required argument");
                return NULL;
            }
            continue;
        }
        values[i] = PyFloat_AsDouble(slots[i]);
        if (values[i] == -1.0 && PyErr_Occurred()) return NULL;
    }
    if (slots[6] != NULL) {
        Py_ssize_t size;
        if (PyUnicode_AsUTF8AndSize(slots[6], &size) == NULL) return NULL;
    }
    return PyFloat_FromDouble(values[0]);
}

static PyMethodDef kMethods[] = {
    {"floor", (PyCFunction)(void (*)(void))floor_call, METH_VARARGS | METH_KEYWORDS,
     "floor(s, k, t, r, sigma, q=0.0, option_type=\"call\")\n--\n\nBinds and converts, prices nothing."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "varnelle_floor", NULL, 0, kMethods,
                                     NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_varnelle_floor(void) {
    for (int i = 0; i < 7; ++i) {
        interned[i] = PyUnicode_InternFromString(kNames[i]);
        if (interned[i] == NULL) return NULL;
    }
    return PyModule_Create(&kModule);
}
