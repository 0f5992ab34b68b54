// The ddc_fn extension: the DDCR as seven functions over an opaque state capsule.
//
// Each state is a PyCapsule owning a small record with the native handle, a
// destroyed flag (explicit ddcr_destroy leaves the capsule alive until it is
// collected) and an in-use flag. ddcr_execute checks every argument, sizes the
// output against the native capacity rule, claims the in-use flag and only then
// drops the interpreter lock around the native call, so a second thread that
// touches the same state is refused instead of racing it. Outputs go straight
// into the caller's complex64 buffer; the result is a view of that buffer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "ddc/ddcr.h"
#include "ddc/ddcr_internal.h"

namespace {

const char *const k_capsule_name = "quorvel.ddc.ddcr_state";
const char *const k_destroyed_msg = "ddcr_state has already been destroyed";
const char *const k_busy_msg = "ddcr_state is in use by another thread";
const char *const k_bad_out_msg = "out must be a writable ndarray[complex64]";
const char *const k_out_ndim_msg = "out must be a one-dimensional ndarray[complex64]";

struct ddcr_record {
    ddcr_state_t *ddcr;         // native state; null once destroyed through the module
    int32_t destroyed;          // 0 while live, 1 after ddcr_destroy
    std::atomic<int32_t> busy;  // 1 while a call owns the state (execute runs without the GIL)
};

// Record behind a capsule, or null with the capsule API's error set.
ddcr_record *_record(PyObject *capsule)
{
    return static_cast<ddcr_record *>(PyCapsule_GetPointer(capsule, k_capsule_name));
}

// Record of a live state, or null with an exception set.
ddcr_record *_live_record(PyObject *capsule)
{
    ddcr_record *rec = _record(capsule);
    if (rec != nullptr && rec->destroyed) {
        PyErr_SetString(PyExc_RuntimeError, k_destroyed_msg);
        return nullptr;
    }
    return rec;
}

// Claims the state for the calling thread; false with RuntimeError set when
// another thread holds it. Every claim is taken with the interpreter lock held.
bool _claim(ddcr_record *rec)
{
    int32_t idle = 0;
    if (rec->busy.compare_exchange_strong(idle, 1, std::memory_order_acquire)) {
        return true;
    }
    PyErr_SetString(PyExc_RuntimeError, k_busy_msg);
    return false;
}

void _unclaim(ddcr_record *rec)
{
    rec->busy.store(0, std::memory_order_release);
}

void _wrap_destructor(PyObject *capsule)
{
    // IsValid, unlike GetPointer, leaves any pending exception alone.
    if (!PyCapsule_IsValid(capsule, k_capsule_name)) {
        return;
    }
    ddcr_record *rec = _record(capsule);
    if (!rec->destroyed) {
        ddcr_destroy(rec->ddcr);
    }
    delete rec;
}

PyObject *py_ddcr_create(PyObject *, PyObject *args)
{
    double norm_freq, rate;
    if (!PyArg_ParseTuple(args, "dd", &norm_freq, &rate)) {
        return nullptr;
    }
    ddcr_record *rec = new (std::nothrow) ddcr_record{};
    if (rec == nullptr) {
        return PyErr_NoMemory();
    }
    rec->ddcr = ddcr_create(norm_freq, rate);
    if (rec->ddcr == nullptr) {
        delete rec;
        return PyErr_NoMemory();
    }
    rec->destroyed = 0;
    PyObject *capsule = PyCapsule_New(rec, k_capsule_name, _wrap_destructor);
    if (capsule == nullptr) {
        ddcr_destroy(rec->ddcr);
        delete rec;
    }
    return capsule;
}

PyObject *py_ddcr_execute(PyObject *, PyObject *args)
{
    PyObject *state, *x_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OOO", &state, &x_obj, &out_obj)) {
        return nullptr;
    }
    ddcr_record *rec = _live_record(state);
    if (rec == nullptr) {
        return nullptr;
    }

    PyArrayObject *x = nullptr;
    PyArrayObject *out = nullptr;
    PyObject *stop = nullptr;
    PyObject *slice = nullptr;
    PyObject *result = nullptr;
    PyArrayObject *given;
    npy_intp n_in, cap;
    size_t need, n_out = 0;
    int status;

    // NumPy would turn None into one NaN sample that then enters the stream.
    if (x_obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "x must be an array of float32 samples, not None");
        goto done;
    }
    // Aligned too: the kernels read float32 through typed pointers, and a
    // misaligned one is undefined behaviour (a fault on strict platforms).
    x = reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(x_obj, PyArray_DescrFromType(NPY_FLOAT32), 0, 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    if (x == nullptr) {
        goto done;
    }

    // out is never converted to another dtype: the caller keeps the buffer.
    given = reinterpret_cast<PyArrayObject *>(out_obj);
    if (!PyArray_Check(out_obj) || PyArray_DESCR(given)->type_num != NPY_COMPLEX64
        || !PyArray_ISWRITEABLE(given)) {
        PyErr_SetString(PyExc_TypeError, k_bad_out_msg);
        goto done;
    }
    // Checked before processing: a failed out[:n] afterwards would lose the block.
    if (PyArray_NDIM(given) != 1) {
        PyErr_SetString(PyExc_TypeError, k_out_ndim_msg);
        goto done;
    }
    // A conforming out comes back as itself; a strided or misaligned one as a
    // contiguous, aligned copy.
    out = reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(out_obj, PyArray_DescrFromType(NPY_COMPLEX64), 0, 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED,
                        nullptr));
    if (out == nullptr) {
        goto done;
    }

    n_in = PyArray_MultiplyList(PyArray_DIMS(x), PyArray_NDIM(x));
    cap = PyArray_MultiplyList(PyArray_DIMS(out), PyArray_NDIM(out));
    need = ddcr_execute_capacity(static_cast<size_t>(n_in));
    if (static_cast<size_t>(cap) < need) {
        PyErr_Format(PyExc_ValueError,
                     "out holds %zd samples but a block of %zd samples needs %zu "
                     "(ddcr_execute_capacity)",
                     cap, n_in, need);
        goto done;
    }

    // The conversions above may have run Python code that destroyed the state.
    if (rec->destroyed) {
        PyErr_SetString(PyExc_RuntimeError, k_destroyed_msg);
        goto done;
    }
    if (!_claim(rec)) {
        goto done;
    }
    Py_BEGIN_ALLOW_THREADS
    status = ddcr_execute_checked(rec->ddcr, static_cast<const float *>(PyArray_DATA(x)),
                                  static_cast<size_t>(n_in),
                                  static_cast<cf32_t *>(PyArray_DATA(out)),
                                  static_cast<size_t>(cap), &n_out);
    Py_END_ALLOW_THREADS
    _unclaim(rec);
    if (status != 0) {
        PyErr_NoMemory();
        goto done;
    }

    Py_CLEAR(x);
    stop = PyLong_FromSize_t(n_out);
    if (stop == nullptr) {
        goto done;
    }
    slice = PySlice_New(nullptr, stop, nullptr);
    if (slice == nullptr) {
        goto done;
    }
    result = PyObject_GetItem(reinterpret_cast<PyObject *>(out), slice);

done:
    Py_XDECREF(slice);
    Py_XDECREF(stop);
    Py_XDECREF(out);
    Py_XDECREF(x);
    return result;
}

// The lone state argument of a method, as its live record; with `claim` the
// state is also marked in use, to be released with _unclaim.
ddcr_record *_state_arg(PyObject *args, bool claim)
{
    PyObject *state;
    if (!PyArg_ParseTuple(args, "O", &state)) {
        return nullptr;
    }
    ddcr_record *rec = _live_record(state);
    if (rec == nullptr || (claim && !_claim(rec))) {
        return nullptr;
    }
    return rec;
}

PyObject *py_ddcr_reset(PyObject *, PyObject *args)
{
    ddcr_record *rec = _state_arg(args, true);
    if (rec == nullptr) {
        return nullptr;
    }
    ddcr_reset(rec->ddcr);
    _unclaim(rec);
    Py_RETURN_NONE;
}

PyObject *py_ddcr_destroy(PyObject *, PyObject *args)
{
    ddcr_record *rec = _state_arg(args, true);
    if (rec == nullptr) {
        return nullptr;
    }
    ddcr_destroy(rec->ddcr);
    rec->ddcr = nullptr;
    rec->destroyed = 1;
    _unclaim(rec);
    Py_RETURN_NONE;
}

PyObject *py_ddcr_get_norm_freq(PyObject *, PyObject *args)
{
    ddcr_record *rec = _state_arg(args, false);
    return rec == nullptr ? nullptr : PyFloat_FromDouble(ddcr_get_norm_freq(rec->ddcr));
}

PyObject *py_ddcr_set_norm_freq(PyObject *, PyObject *args)
{
    PyObject *state;
    double norm_freq;
    if (!PyArg_ParseTuple(args, "Od", &state, &norm_freq)) {
        return nullptr;
    }
    ddcr_record *rec = _live_record(state);
    if (rec == nullptr || !_claim(rec)) {
        return nullptr;
    }
    ddcr_set_norm_freq(rec->ddcr, norm_freq);
    _unclaim(rec);
    Py_RETURN_NONE;
}

PyObject *py_ddcr_get_rate(PyObject *, PyObject *args)
{
    ddcr_record *rec = _state_arg(args, false);
    return rec == nullptr ? nullptr : PyFloat_FromDouble(ddcr_get_rate(rec->ddcr));
}

// --- docstrings ---------------------------------------------------------------

const char doc_ddcr_create[] = R"doc(ddcr_create(norm_freq, rate) -> state

Allocate and initialise a DDCR down-converter state handle.

The real-input digital down-converter (DDCR) chain::

    x: real float32 at fs_in
      -> half-band real-to-complex decimator 2:1 (embedded fs/4 shift)
      -> fine NCO mixer at fs_in / 2 (norm_freq)
      -> rate converter (polyphase + optional CIC + halfband)
      -> y: complex64 at fs_out = rate * fs_in

The state is an opaque capsule owning the native ``ddcr_state_t``. It is
released by ``ddcr_destroy`` or, failing that, when the capsule is collected.

Parameters
----------
norm_freq : float
    Fine NCO frequency in cycles per sample at the intermediate rate
    ``fs_in / 2``. To park a real tone at ``f_carrier`` (normalised to
    ``fs_in``) at DC use ``norm_freq = -(2 * f_carrier + 0.5)``; a carrier
    at 0.1 * fs_in needs -0.7.
rate : float
    Output-to-input rate ratio ``fs_out / fs_in``, in the open interval
    (0, 0.5).

Returns
-------
state : PyCapsule
    The new state, named "quorvel.ddc.ddcr_state".

Raises
------
MemoryError
    If the native state cannot be created: memory is exhausted, or
    ``rate`` is not in (0, 0.5) (NaN included).
TypeError
    If the arguments are not two real numbers.

Examples
--------
>>> import numpy as np
>>> from quorvel.ddc import ddcr_create, ddcr_execute
>>> state = ddcr_create(-0.7, 0.25)
>>> out = np.empty(64, dtype=np.complex64)
>>> y = ddcr_execute(state, np.zeros(64, dtype=np.float32), out)
>>> len(y)
16
)doc";

const char doc_ddcr_execute[] = R"doc(ddcr_execute(state, x, out) -> ndarray[complex64]

Process a block of real float32 samples through the DDCR.

Runs the whole chain on ``x``, writes the complex baseband samples into
``out`` and returns the view ``out[:n_out]``, whose lifetime is tied to
``out`` and not to the state. The interpreter lock is released across the
native kernel, so one thread per shard, each with its own state and its own
``out``, scales across cores. Processing is phase-continuous: feeding a
signal in successive blocks is bit-identical to feeding it at once.

A state serves one call at a time. While it is processing in one thread,
``ddcr_execute``, ``ddcr_reset``, ``ddcr_set_norm_freq`` and ``ddcr_destroy``
on it from another thread raise RuntimeError and change nothing.

Parameters
----------
state : PyCapsule
    A live state from ``ddcr_create``.
x : array_like
    Real samples at ``fs_in``, any number n of them, read as one flat
    C-contiguous, aligned float32 block (copied if need be). Conversion
    follows NumPy's safe casting rule: float32 is used as it is, and a
    float64 array is refused rather than force-cast (convert it with
    ``x.astype(np.float32)``).
out : ndarray[complex64]
    Caller-owned, writable, one-dimensional complex64 buffer. For n > 0 it
    must hold at least ``max(n, 2)`` samples (``ddcr_execute_capacity`` in
    C), and that always suffices: a single input sample can complete two
    outputs. A strided or misaligned ``out`` is replaced by a C-contiguous,
    aligned copy: the result is then a view of that copy and ``out``
    itself is not written.

Returns
-------
y : ndarray[complex64]
    ``out[:n_out]``, the samples produced by this block (about
    ``rate * n``), sharing memory with ``out``.

Raises
------
RuntimeError
    If the state has been destroyed, or is in use by another thread.
TypeError
    If ``out`` is not a writable complex64 ndarray ("out must be a
    writable ndarray[complex64]") or is not one-dimensional ("out must be
    a one-dimensional ndarray[complex64]"), ``x`` is None, or ``x`` cannot
    be converted (NumPy's error).
ValueError
    If ``out`` is smaller than the capacity above; nothing is consumed.
MemoryError
    If the native scratch blocks cannot be allocated; nothing is consumed
    and the state is unchanged.

Examples
--------
>>> import numpy as np
>>> from quorvel.ddc import ddcr_create, ddcr_execute
>>> f_carrier = 0.1
>>> state = ddcr_create(-(2 * f_carrier + 0.5), 0.25)
>>> x = np.cos(2 * np.pi * f_carrier * np.arange(4096)).astype(np.float32)
>>> out = np.empty(4096, dtype=np.complex64)
>>> y = ddcr_execute(state, x, out)
>>> len(y), np.shares_memory(y, out)
(1024, True)
>>> int(np.argmax(np.abs(np.fft.fft(y))))
0
)doc";

const char doc_ddcr_reset[] = R"doc(ddcr_reset(state) -> None

Zero all DDCR filter history without freeing or recreating the state.

Clears the half-band decimator history, the NCO phase and every
rate-converter history. ``norm_freq`` and ``rate`` are kept and nothing is
allocated or freed, so processing the same block twice with a reset in
between gives identical output.

Parameters
----------
state : PyCapsule
    A live state from ``ddcr_create``.

Returns
-------
None

Raises
------
RuntimeError
    If the state has been destroyed, or is in use by another thread.

Examples
--------
>>> import numpy as np
>>> from quorvel.ddc import ddcr_create, ddcr_execute, ddcr_reset
>>> state = ddcr_create(-0.7, 0.25)
>>> x = np.random.default_rng(1).standard_normal(1000).astype(np.float32)
>>> first = ddcr_execute(state, x, np.empty(1000, dtype=np.complex64))
>>> ddcr_reset(state)
>>> second = ddcr_execute(state, x, np.empty(1000, dtype=np.complex64))
>>> np.array_equal(first, second)
True
)doc";

const char doc_ddcr_destroy[] = R"doc(ddcr_destroy(state) -> None

Release DDCR C resources immediately, without waiting for the GC.

Frees the native state at once. Any later call with the same capsule,
``ddcr_destroy`` included, raises RuntimeError. Views returned earlier by
``ddcr_execute`` belong to their ``out`` buffers and stay valid. If this is
never called, collecting the capsule frees the state.

Parameters
----------
state : PyCapsule
    A live state from ``ddcr_create``.

Returns
-------
None

Raises
------
RuntimeError
    If the state has already been destroyed, or is in use by another
    thread.

Examples
--------
>>> import numpy as np
>>> from quorvel.ddc import ddcr_create, ddcr_destroy, ddcr_execute, ddcr_get_rate
>>> state = ddcr_create(-0.7, 0.25)
>>> y = ddcr_execute(state, np.ones(64, dtype=np.float32), np.empty(64, dtype=np.complex64))
>>> ddcr_destroy(state)
>>> len(y)
16
>>> ddcr_get_rate(state)
Traceback (most recent call last):
    ...
RuntimeError: ddcr_state has already been destroyed
)doc";

const char doc_ddcr_get_norm_freq[] = R"doc(ddcr_get_norm_freq(state) -> float

Return the current fine NCO normalised frequency.

The NCO frequency in cycles per sample at ``fs_in / 2``, exactly as passed
to ``ddcr_create`` or last to ``ddcr_set_norm_freq`` (not wrapped), and
unchanged by ``ddcr_reset``.

Parameters
----------
state : PyCapsule
    A live state from ``ddcr_create``.

Returns
-------
norm_freq : float

Raises
------
RuntimeError
    If the state has been destroyed.

Examples
--------
>>> from quorvel.ddc import ddcr_create, ddcr_get_norm_freq
>>> state = ddcr_create(-0.7, 0.25)
>>> ddcr_get_norm_freq(state)
-0.7
)doc";

const char doc_ddcr_set_norm_freq[] = R"doc(ddcr_set_norm_freq(state, norm_freq) -> None

Retune the fine NCO frequency without disturbing filter history.

Only the oscillator increment changes, from the next block on. Every
filter history is untouched and the oscillator phase continues, so there
is no transient at the retune boundary.

Parameters
----------
state : PyCapsule
    A live state from ``ddcr_create``.
norm_freq : float
    New NCO frequency in cycles per sample at ``fs_in / 2``;
    ``-(2 * f_carrier + 0.5)`` parks a carrier at ``f_carrier`` at DC.

Returns
-------
None

Raises
------
RuntimeError
    If the state has been destroyed, or is in use by another thread.
TypeError
    If ``norm_freq`` is not a real number.

Examples
--------
>>> from quorvel.ddc import ddcr_create, ddcr_get_norm_freq, ddcr_set_norm_freq
>>> state = ddcr_create(-(2 * 0.18 + 0.5), 0.25)
>>> ddcr_get_norm_freq(state)
-0.86
>>> ddcr_set_norm_freq(state, -(2 * 0.14 + 0.5))
>>> ddcr_get_norm_freq(state)
-0.78
)doc";

const char doc_ddcr_get_rate[] = R"doc(ddcr_get_rate(state) -> float

Return the total configured output-to-input rate ratio.

``fs_out / fs_in`` exactly as passed to ``ddcr_create``. The rate is fixed
for the life of the state; a new rate needs a new state.

Parameters
----------
state : PyCapsule
    A live state from ``ddcr_create``.

Returns
-------
rate : float

Raises
------
RuntimeError
    If the state has been destroyed.

Examples
--------
>>> from quorvel.ddc import ddcr_create, ddcr_get_rate
>>> state = ddcr_create(-0.7, 0.25)
>>> ddcr_get_rate(state)
0.25
)doc";

PyMethodDef ddc_fn_methods[] = {
    {"ddcr_create", py_ddcr_create, METH_VARARGS, doc_ddcr_create},
    {"ddcr_execute", py_ddcr_execute, METH_VARARGS, doc_ddcr_execute},
    {"ddcr_reset", py_ddcr_reset, METH_VARARGS, doc_ddcr_reset},
    {"ddcr_destroy", py_ddcr_destroy, METH_VARARGS, doc_ddcr_destroy},
    {"ddcr_get_norm_freq", py_ddcr_get_norm_freq, METH_VARARGS, doc_ddcr_get_norm_freq},
    {"ddcr_set_norm_freq", py_ddcr_set_norm_freq, METH_VARARGS, doc_ddcr_set_norm_freq},
    {"ddcr_get_rate", py_ddcr_get_rate, METH_VARARGS, doc_ddcr_get_rate},
    {nullptr, nullptr, 0, nullptr},
};

struct PyModuleDef ddc_fn_module = {
    PyModuleDef_HEAD_INIT,
    "ddc_fn",
    "Functional DDCR API \u2014 state and buffer passed explicitly.",
    -1,
    ddc_fn_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ddc_fn(void)
{
    import_array();
    return PyModule_Create(&ddc_fn_module);
}
