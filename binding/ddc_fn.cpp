// The ddc_fn extension: the DDCR as seven functions over an opaque state capsule.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include "ddc/ddcr.h"

static PyMethodDef ddc_fn_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

static struct PyModuleDef ddc_fn_module = {
    PyModuleDef_HEAD_INIT,
    "ddc_fn",
    "Functional DDCR API \u2014 state and buffer passed explicitly.",
    -1,
    ddc_fn_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_ddc_fn(void)
{
    import_array();
    return PyModule_Create(&ddc_fn_module);
}
