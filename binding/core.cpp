// quorvel.ddc._core: the down-converters as native objects.
//
// One type, Converter, owns either a ddcr_state_t (real float32 in) or a
// ddc_state_t (complex64 in), built from the exact plan or from a designed one
// with a requested stop-band attenuation. process() checks every argument and
// sizes the output by this state's own bound before it claims the object, and
// drops the interpreter lock only around the native call; a second thread that
// touches a claimed object is refused instead of racing it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "ddc/chanbank.h"
#include "ddc/ddc.h"
#include "ddc/ddc_internal.h"
#include "ddc/ddcr.h"
#include "ddc/ddcr_internal.h"
#include "stages/simd.h"
namespace {

enum Kind { KIND_DDCR = 0, KIND_DDC = 1 };

constexpr double kAttenMin = 40.0;
constexpr double kAttenMax = 120.0;
constexpr double kInvLn2 = 1.4426950408889634;  // as the planner computes it

const char *const k_bad_out_msg = "out must be a writable ndarray[complex64]";
const char *const k_out_ndim_msg = "out must be a one-dimensional ndarray[complex64]";

struct Converter {
    PyObject_HEAD
    void *state;                // ddcr_state_t or ddc_state_t; null once closed
    int kind;                   // Kind
    int designed;               // 0 for the exact plan
    std::atomic<int32_t> busy;  // 1 while a call owns the state (process runs without the GIL)
};

const char *_name(const Converter *self)
{
    return self->kind == KIND_DDCR ? "DDCR" : "DDC";
}

ddcr_state_t *_ddcr(const Converter *self)
{
    return static_cast<ddcr_state_t *>(self->state);
}

ddc_state_t *_ddc(const Converter *self)
{
    return static_cast<ddc_state_t *>(self->state);
}

// --- argument rules -------------------------------------------------------------

// Raises `type` with `fmt`, whose one %R shows `value`.
void _raise_about(PyObject *type, const char *fmt, double value)
{
    PyObject *v = PyFloat_FromDouble(value);
    if (v == nullptr)
        return;
    PyErr_Format(type, fmt, v);
    Py_DECREF(v);
}

// What the rate converter's planner builds (rate/rate_converter.cpp, _plan):
// a finite ratio in (2^-32, 2^32), and at or below 2^-13 only a power of two
// (a larger CIC ratio than 4096 does not exist). Checked here so that a refused
// rate is a ValueError and a null from create can only mean memory.
bool _converter_rate_ok(double r, bool designed)
{
    if (!(r > 0x1p-32 && r < (designed ? 0x1p31 : 0x1p32)))  // NaN fails too
        return false;
    if (r > 0x1p-13 || designed)  // designed plans halve down to any rate
        return true;
    const double c = std::log(1.0 / r) * kInvLn2;
    return std::fabs(c - std::round(c)) < 1e-9;
}

bool _check_rate(int kind, double rate, bool designed)
{
    if (kind == KIND_DDCR) {
        if (!(rate > 0.0 && rate < 0.5)) {
            _raise_about(PyExc_ValueError, "rate must lie in the open interval (0, 0.5), got %R",
                         rate);
            return false;
        }
        // The converter after the 2:1 half-band runs at 2 * rate.
        if (!_converter_rate_ok(2.0 * rate, designed)) {
            _raise_about(PyExc_ValueError,
                         designed ? "rate %R cannot be built: the DDCR takes rates in (2^-33, 0.5)"
                                  : "rate %R cannot be built: the exact DDCR plan takes rates in "
                                    "(2^-33, 0.5), and at or below 2^-14 (1/16384) only powers "
                                    "of two",
                         rate);
            return false;
        }
        return true;
    }
    if (!_converter_rate_ok(rate, designed)) {
        _raise_about(PyExc_ValueError,
                     designed ? "rate %R cannot be built: the designed DDC takes rates in (2^-32, 2^31)"
                              : "rate %R cannot be built: the exact DDC plan takes rates in "
                                "(2^-32, 2^32), and at or below 2^-13 (1/8192) only powers of two",
                     rate);
        return false;
    }
    return true;
}

// atten_db as a double in [40, 120], 0 for None (the exact plan), -1 with an
// exception set.
double _parse_atten(PyObject *obj)
{
    if (obj == Py_None)
        return 0.0;
    const double a = PyBool_Check(obj) ? -1.0 : PyFloat_AsDouble(obj);
    if (PyBool_Check(obj) || (a == -1.0 && PyErr_Occurred())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "atten_db must be a number of dB, or None for the exact plan, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return -1.0;
    }
    if (!(a >= kAttenMin && a <= kAttenMax)) {
        PyErr_Format(PyExc_ValueError,
                     "atten_db must lie in [40, 120] dB (or be None for the exact plan), got %R",
                     obj);
        return -1.0;
    }
    return a;
}

int _parse_kind(const char *kind)
{
    if (std::strcmp(kind, "ddcr") == 0)
        return KIND_DDCR;
    if (std::strcmp(kind, "ddc") == 0)
        return KIND_DDC;
    PyErr_Format(PyExc_ValueError, "kind must be 'ddcr' or 'ddc', got '%.100s'", kind);
    return -1;
}

// --- life and the in-use guard --------------------------------------------------

bool _live(Converter *self)
{
    if (self->state == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "%s is closed", _name(self));
        return false;
    }
    return true;
}

// Claims a live object for the calling thread; false with RuntimeError set when
// it is closed or another thread holds it. Taken with the interpreter lock held.
bool _claim(Converter *self)
{
    if (!_live(self))
        return false;
    int32_t idle = 0;
    if (self->busy.compare_exchange_strong(idle, 1, std::memory_order_acquire))
        return true;
    PyErr_Format(PyExc_RuntimeError, "%s is in use by another thread", _name(self));
    return false;
}

void _unclaim(Converter *self)
{
    self->busy.store(0, std::memory_order_release);
}

void _destroy(Converter *self)
{
    if (self->kind == KIND_DDCR)
        ddcr_destroy(_ddcr(self));
    else
        ddc_destroy(_ddc(self));
    self->state = nullptr;
}

size_t _capacity(const Converter *self, size_t n)
{
    return self->kind == KIND_DDCR ? ddcr_capacity(_ddcr(self), n)
                                   : ddc_execute_capacity(_ddc(self), n);
}

// --- type slots -----------------------------------------------------------------

PyObject *conv_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"kind", "norm_freq", "rate", "atten_db", nullptr};
    const char *kind_name;
    double norm_freq, rate;
    PyObject *atten_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "sdd|O:Converter", const_cast<char **>(kwlist),
                                     &kind_name, &norm_freq, &rate, &atten_obj))
        return nullptr;
    const int kind = _parse_kind(kind_name);
    if (kind < 0)
        return nullptr;
    if (!std::isfinite(norm_freq)) {
        _raise_about(PyExc_ValueError, "norm_freq must be finite, got %R", norm_freq);
        return nullptr;
    }
    const double atten = _parse_atten(atten_obj);
    if (atten < 0.0)
        return nullptr;
    if (!_check_rate(kind, rate, atten > 0.0))
        return nullptr;

    auto *self = reinterpret_cast<Converter *>(type->tp_alloc(type, 0));
    if (self == nullptr)
        return nullptr;
    new (&self->busy) std::atomic<int32_t>(0);
    self->kind = kind;
    self->designed = atten > 0.0;
    if (kind == KIND_DDCR)
        self->state = self->designed ? ddcr_create_designed(norm_freq, rate, atten)
                                     : ddcr_create(norm_freq, rate);
    else
        self->state = self->designed ? ddc_create_designed(norm_freq, rate, atten)
                                     : ddc_create(norm_freq, rate);
    if (self->state == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject *>(self);
}

void conv_dealloc(Converter *self)
{
    PyTypeObject *type = Py_TYPE(self);
    if (self->state != nullptr)
        _destroy(self);
    type->tp_free(reinterpret_cast<PyObject *>(self));
    Py_DECREF(type);  // a heap type is owned by its instances
}

// --- process --------------------------------------------------------------------

// x as a flat C-contiguous, aligned block of the object's sample type, or null
// with TypeError. An ndarray must cast safely; other inputs (lists, scalars)
// become an array first and then need only a cast of the same kind, so a list
// of Python floats is taken but a complex one is not.
PyArrayObject *_input(Converter *self, PyObject *x_obj)
{
    const int target = self->kind == KIND_DDCR ? NPY_FLOAT32 : NPY_COMPLEX64;
    const char *tname = self->kind == KIND_DDCR ? "float32" : "complex64";
    if (x_obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "x must be an array of %s samples, not None", tname);
        return nullptr;
    }
    PyArrayObject *arr;
    NPY_CASTING casting;
    if (PyArray_Check(x_obj)) {
        arr = reinterpret_cast<PyArrayObject *>(x_obj);
        Py_INCREF(arr);
        casting = NPY_SAFE_CASTING;
    } else {
        arr = reinterpret_cast<PyArrayObject *>(PyArray_FromAny(x_obj, nullptr, 0, 0, 0, nullptr));
        if (arr == nullptr)
            return nullptr;
        casting = NPY_SAME_KIND_CASTING;
    }
    PyArray_Descr *want = PyArray_DescrFromType(target);
    if (!PyArray_CanCastTypeTo(PyArray_DESCR(arr), want, casting)) {
        PyObject *have = PyObject_Str(reinterpret_cast<PyObject *>(PyArray_DESCR(arr)));
        const bool complex_in = PyArray_ISCOMPLEX(arr);
        if (have != nullptr) {
            if (self->kind == KIND_DDCR && complex_in)
                PyErr_Format(PyExc_TypeError,
                             "the DDCR takes real samples but x has dtype %U: pass float32 "
                             "samples, or use DDC for complex input",
                             have);
            else
                PyErr_Format(PyExc_TypeError,
                             "x has dtype %U, which does not cast safely to %s: pass %s "
                             "samples (x.astype(np.%s))",
                             have, tname, tname, tname);
            Py_DECREF(have);
        }
        Py_DECREF(want);
        Py_DECREF(arr);
        return nullptr;
    }
    // Aligned too: the kernels read through typed pointers.
    PyObject *res = PyArray_FromAny(reinterpret_cast<PyObject *>(arr), want, 0, 0,
                                    NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST,
                                    nullptr);
    Py_DECREF(arr);
    return reinterpret_cast<PyArrayObject *>(res);
}

// The caller's out, checked as ddc_fn checks it: a strided or misaligned one is
// replaced by a contiguous, aligned copy. Null with TypeError.
PyArrayObject *_output(PyObject *out_obj)
{
    auto *given = reinterpret_cast<PyArrayObject *>(out_obj);
    if (!PyArray_Check(out_obj) || PyArray_DESCR(given)->type_num != NPY_COMPLEX64
        || !PyArray_ISWRITEABLE(given)) {
        PyErr_SetString(PyExc_TypeError, k_bad_out_msg);
        return nullptr;
    }
    if (PyArray_NDIM(given) != 1) {
        PyErr_SetString(PyExc_TypeError, k_out_ndim_msg);
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(out_obj, PyArray_DescrFromType(NPY_COMPLEX64), 0, 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED, nullptr));
}

PyObject *conv_process(Converter *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"x", "out", nullptr};
    PyObject *x_obj, *out_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:process", const_cast<char **>(kwlist),
                                     &x_obj, &out_obj))
        return nullptr;
    if (!_live(self))
        return nullptr;

    PyArrayObject *x = nullptr;
    PyArrayObject *out = nullptr;
    PyObject *result = nullptr;
    bool claimed = false;
    npy_intp n_in, cap;
    size_t need, n_out = 0;
    int status;

    x = _input(self, x_obj);
    if (x == nullptr)
        goto done;
    if (out_obj != Py_None) {
        out = _output(out_obj);
        if (out == nullptr)
            goto done;
    }
    // Claimed before the bound is read: a tight bound reads state that a
    // running block changes. The conversions above may also have run Python
    // code that closed the object; the claim sees that.
    if (!_claim(self))
        goto done;
    claimed = true;
    n_in = PyArray_SIZE(x);
    need = _capacity(self, static_cast<size_t>(n_in));
    if (out == nullptr) {
        if (need > static_cast<size_t>(NPY_MAX_INTP)) {
            PyErr_Format(PyExc_MemoryError, "a block of %zd samples needs %zu outputs", n_in, need);
            goto done;
        }
        npy_intp dims[1] = {static_cast<npy_intp>(need)};
        out = reinterpret_cast<PyArrayObject *>(PyArray_SimpleNew(1, dims, NPY_COMPLEX64));
        if (out == nullptr)
            goto done;
    }
    cap = PyArray_SIZE(out);
    if (static_cast<size_t>(cap) < need) {
        PyErr_Format(PyExc_ValueError,
                     "out holds %zd samples but a block of %zd inputs may need %zu", cap, n_in,
                     need);
        goto done;
    }
    Py_BEGIN_ALLOW_THREADS
    if (self->kind == KIND_DDCR)
        status = ddcr_execute_checked(_ddcr(self), static_cast<const float *>(PyArray_DATA(x)),
                                      static_cast<size_t>(n_in),
                                      static_cast<cf32_t *>(PyArray_DATA(out)),
                                      static_cast<size_t>(cap), &n_out);
    else
        status = ddc_execute_checked(_ddc(self), static_cast<const cf32_t *>(PyArray_DATA(x)),
                                     static_cast<size_t>(n_in),
                                     static_cast<cf32_t *>(PyArray_DATA(out)),
                                     static_cast<size_t>(cap), &n_out);
    Py_END_ALLOW_THREADS
    _unclaim(self);
    claimed = false;
    if (status != 0) {
        PyErr_NoMemory();
        goto done;
    }
    {
        PyObject *stop = PyLong_FromSize_t(n_out);
        PyObject *slice = stop != nullptr ? PySlice_New(nullptr, stop, nullptr) : nullptr;
        if (slice != nullptr)
            result = PyObject_GetItem(reinterpret_cast<PyObject *>(out), slice);
        Py_XDECREF(slice);
        Py_XDECREF(stop);
    }

done:
    if (claimed)
        _unclaim(self);
    Py_XDECREF(out);
    Py_XDECREF(x);
    return result;
}

// --- other methods --------------------------------------------------------------

PyObject *conv_reset(Converter *self, PyObject *)
{
    if (!_claim(self))
        return nullptr;
    if (self->kind == KIND_DDCR)
        ddcr_reset(_ddcr(self));
    else
        ddc_reset(_ddc(self));
    _unclaim(self);
    Py_RETURN_NONE;
}

PyObject *conv_close(Converter *self, PyObject *)
{
    if (self->state == nullptr)
        Py_RETURN_NONE;
    if (!_claim(self))
        return nullptr;
    _destroy(self);
    _unclaim(self);
    Py_RETURN_NONE;
}

PyObject *conv_capacity(Converter *self, PyObject *arg)
{
    const Py_ssize_t n = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "n_in must not be negative, got %zd", n);
        return nullptr;
    }
    if (!_claim(self))
        return nullptr;
    const size_t need = _capacity(self, static_cast<size_t>(n));
    _unclaim(self);
    return PyLong_FromSize_t(need);
}

PyObject *conv_get_norm_freq(Converter *self, void *)
{
    if (!_live(self))
        return nullptr;
    return PyFloat_FromDouble(self->kind == KIND_DDCR ? ddcr_get_norm_freq(_ddcr(self))
                                                      : ddc_get_norm_freq(_ddc(self)));
}

int conv_set_norm_freq(Converter *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "norm_freq cannot be deleted");
        return -1;
    }
    const double f = PyFloat_AsDouble(value);
    if (f == -1.0 && PyErr_Occurred())
        return -1;
    if (!std::isfinite(f)) {
        PyErr_Format(PyExc_ValueError, "norm_freq must be finite, got %R", value);
        return -1;
    }
    if (!_claim(self))
        return -1;
    if (self->kind == KIND_DDCR)
        ddcr_set_norm_freq(_ddcr(self), f);
    else
        ddc_set_norm_freq(_ddc(self), f);
    _unclaim(self);
    return 0;
}

// A double-valued query of either kind, as a Python float.
PyObject *_query(Converter *self, double (*of_ddcr)(const ddcr_state_t *),
                 double (*of_ddc)(const ddc_state_t *))
{
    if (!_live(self))
        return nullptr;
    return PyFloat_FromDouble(self->kind == KIND_DDCR ? of_ddcr(_ddcr(self)) : of_ddc(_ddc(self)));
}

PyObject *conv_get_rate(Converter *self, void *)
{
    return _query(self, ddcr_get_rate, ddc_get_rate);
}

PyObject *conv_get_plan(Converter *self, void *)
{
    if (!_live(self))
        return nullptr;
    const int n = self->kind == KIND_DDCR ? ddcr_get_num_stages(_ddcr(self))
                                          : ddc_get_num_stages(_ddc(self));
    PyObject *plan = PyTuple_New(n > 0 ? n : 0);
    if (plan == nullptr)
        return nullptr;
    for (int i = 0; i < n; ++i) {
        char buf[96] = "";
        const int ok = self->kind == KIND_DDCR ? ddcr_stage_label(_ddcr(self), i, buf, sizeof buf)
                                               : ddc_stage_label(_ddc(self), i, buf, sizeof buf);
        PyObject *label = PyUnicode_FromString(ok ? buf : "?");
        if (label == nullptr) {
            Py_DECREF(plan);
            return nullptr;
        }
        PyTuple_SET_ITEM(plan, i, label);
    }
    return plan;
}

PyObject *conv_get_delay(Converter *self, void *)
{
    return _query(self, ddcr_get_delay, ddc_get_delay);
}

PyObject *conv_get_atten_db(Converter *self, void *)
{
    if (!_live(self))
        return nullptr;
    if (!self->designed)
        Py_RETURN_NONE;
    return _query(self, ddcr_get_atten_db, ddc_get_atten_db);
}

PyObject *conv_get_cost(Converter *self, void *)
{
    return _query(self, ddcr_get_cost, ddc_get_cost);
}

PyObject *conv_get_closed(Converter *self, void *)
{
    return PyBool_FromLong(self->state == nullptr);
}

PyObject *conv_get_kind(Converter *self, void *)
{
    return PyUnicode_FromString(self->kind == KIND_DDCR ? "ddcr" : "ddc");
}

// --- channel bank ---------------------------------------------------------------

// Bank owns a chanbank_t. The Python class checks arguments for clear
// messages; here a refusal from the library is a ValueError.
struct Bank {
    PyObject_HEAD
    chanbank_t *state;          // null once closed
    std::atomic<int32_t> busy;  // 1 while a call owns the state
};

bool _bank_claim(Bank *self)
{
    if (self->state == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "ChannelBank is closed");
        return false;
    }
    int32_t idle = 0;
    if (self->busy.compare_exchange_strong(idle, 1, std::memory_order_acquire))
        return true;
    PyErr_SetString(PyExc_RuntimeError, "ChannelBank is in use by another thread");
    return false;
}

void _bank_unclaim(Bank *self)
{
    self->busy.store(0, std::memory_order_release);
}

PyObject *bank_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"complex_input", "atten_db", "max_rate", nullptr};
    int complex_input;
    double atten, max_rate;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "pdd:Bank", const_cast<char **>(kwlist),
                                     &complex_input, &atten, &max_rate))
        return nullptr;
    if (!(atten >= kAttenMin && atten <= kAttenMax)) {
        _raise_about(PyExc_ValueError, "atten_db must lie in [40, 120] dB, got %R", atten);
        return nullptr;
    }
    if (complex_input ? !(max_rate > 0x1p-32 && max_rate < 0x1p31)
                      : !(max_rate > 0.0 && max_rate < 0.5)) {
        _raise_about(PyExc_ValueError,
                     complex_input ? "max_rate must lie in (2^-32, 2^31), got %R"
                                   : "max_rate must lie in the open interval (0, 0.5), got %R",
                     max_rate);
        return nullptr;
    }
    auto *self = reinterpret_cast<Bank *>(type->tp_alloc(type, 0));
    if (self == nullptr)
        return nullptr;
    new (&self->busy) std::atomic<int32_t>(0);
    self->state = chanbank_create(complex_input, atten, max_rate);
    if (self->state == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject *>(self);
}

void bank_dealloc(Bank *self)
{
    PyTypeObject *type = Py_TYPE(self);
    chanbank_destroy(self->state);
    self->state = nullptr;
    type->tp_free(reinterpret_cast<PyObject *>(self));
    Py_DECREF(type);
}

PyObject *bank_add(Bank *self, PyObject *args)
{
    double carrier, rate, atten;
    int path;
    if (!PyArg_ParseTuple(args, "dddi:add", &carrier, &rate, &atten, &path))
        return nullptr;
    if (!_bank_claim(self))
        return nullptr;
    const int id = chanbank_add(self->state, carrier, rate, atten, path);
    _bank_unclaim(self);
    if (id < 0) {
        // Arguments are checked by the caller; what is left is memory or a
        // path this rate cannot take.
        if (path == CHANBANK_PATH_FFT) {
            _raise_about(PyExc_ValueError,
                         "rate %R cannot take the fast-convolution path (too wide a channel)",
                         rate);
            return nullptr;
        }
        return PyErr_NoMemory();
    }
    return PyLong_FromLong(id);
}

PyObject *bank_remove(Bank *self, PyObject *arg)
{
    const long id = PyLong_AsLong(arg);
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    if (!_bank_claim(self))
        return nullptr;
    const int rc = id >= 0 && id <= INT32_MAX ? chanbank_remove(self->state, static_cast<int>(id)) : -1;
    _bank_unclaim(self);
    if (rc != 0) {
        PyErr_Format(PyExc_KeyError, "no channel with id %ld", id);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *bank_retune(Bank *self, PyObject *args)
{
    int id;
    double carrier;
    if (!PyArg_ParseTuple(args, "id:retune", &id, &carrier))
        return nullptr;
    if (!_bank_claim(self))
        return nullptr;
    const int rc = chanbank_retune(self->state, id, carrier);
    _bank_unclaim(self);
    if (rc != 0) {
        _raise_about(PyExc_ValueError, "carrier %R refused (or unknown channel)", carrier);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ((id, carrier, rate, atten_db, path, delay, cost), ...) in id order.
PyObject *bank_channels(Bank *self, PyObject *)
{
    if (!_bank_claim(self))
        return nullptr;
    const size_t n = chanbank_num_channels(self->state);
    PyObject *res = PyTuple_New(static_cast<Py_ssize_t>(n));
    for (size_t i = 0; res != nullptr && i < n; ++i) {
        const int id = chanbank_channel_id(self->state, i);
        double c = 0, r = 0, a = 0;
        int path = 0;
        chanbank_channel_info(self->state, id, &c, &r, &a, &path);
        PyObject *item = Py_BuildValue("(idddidd)", id, c, r, a, path,
                                       chanbank_get_delay(self->state, id),
                                       chanbank_get_cost(self->state, id));
        if (item == nullptr) {
            Py_CLEAR(res);
            break;
        }
        PyTuple_SET_ITEM(res, static_cast<Py_ssize_t>(i), item);
    }
    _bank_unclaim(self);
    return res;
}

PyObject *bank_shared_cost(Bank *self, PyObject *)
{
    if (!_bank_claim(self))
        return nullptr;
    const double c = chanbank_get_shared_cost(self->state);
    _bank_unclaim(self);
    return PyFloat_FromDouble(c);
}

PyObject *bank_reset(Bank *self, PyObject *)
{
    if (!_bank_claim(self))
        return nullptr;
    chanbank_reset(self->state);
    _bank_unclaim(self);
    Py_RETURN_NONE;
}

PyObject *bank_close(Bank *self, PyObject *)
{
    if (self->state == nullptr)
        Py_RETURN_NONE;
    if (!_bank_claim(self))
        return nullptr;
    chanbank_destroy(self->state);
    self->state = nullptr;
    _bank_unclaim(self);
    Py_RETURN_NONE;
}

PyObject *bank_get_closed(Bank *self, void *)
{
    return PyBool_FromLong(self->state == nullptr);
}

// process(x) -> {id: ndarray[complex64]}: outputs sized by the library's
// bound, the native call without the interpreter lock.
PyObject *bank_process(Bank *self, PyObject *x_obj)
{
    if (!_bank_claim(self))
        return nullptr;
    const bool cplx = chanbank_is_complex(self->state) != 0;
    _bank_unclaim(self);
    const int target = cplx ? NPY_COMPLEX64 : NPY_FLOAT32;
    PyArray_Descr *want = PyArray_DescrFromType(target);
    PyObject *xa = PyArray_FromAny(x_obj, want, 0, 0,
                                   NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr);
    if (xa == nullptr)
        return nullptr;
    auto *x = reinterpret_cast<PyArrayObject *>(xa);
    PyObject *result = nullptr;
    PyObject **arrays = nullptr;
    cf32_t **outs = nullptr;
    size_t *caps = nullptr, *counts = nullptr;
    int *ids = nullptr;
    size_t n = 0;
    int status = 0;
    const size_t n_in = static_cast<size_t>(PyArray_SIZE(x));
    if (!_bank_claim(self)) {
        Py_DECREF(xa);
        return nullptr;
    }
    n = chanbank_num_channels(self->state);
    arrays = static_cast<PyObject **>(PyMem_Calloc(n + 1, sizeof(PyObject *)));
    outs = static_cast<cf32_t **>(PyMem_Calloc(n + 1, sizeof(cf32_t *)));
    caps = static_cast<size_t *>(PyMem_Calloc(n + 1, sizeof(size_t)));
    counts = static_cast<size_t *>(PyMem_Calloc(n + 1, sizeof(size_t)));
    ids = static_cast<int *>(PyMem_Calloc(n + 1, sizeof(int)));
    if (!arrays || !outs || !caps || !counts || !ids) {
        PyErr_NoMemory();
        goto done;
    }
    for (size_t i = 0; i < n; ++i) {
        ids[i] = chanbank_channel_id(self->state, i);
        caps[i] = chanbank_capacity(self->state, ids[i], n_in);
        if (caps[i] > static_cast<size_t>(NPY_MAX_INTP)) {
            PyErr_NoMemory();
            goto done;
        }
        npy_intp dims[1] = {static_cast<npy_intp>(caps[i])};
        arrays[i] = PyArray_SimpleNew(1, dims, NPY_COMPLEX64);
        if (arrays[i] == nullptr)
            goto done;
        outs[i] = static_cast<cf32_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arrays[i])));
    }
    Py_BEGIN_ALLOW_THREADS
    status = cplx ? chanbank_execute_complex(self->state,
                                             static_cast<const cf32_t *>(PyArray_DATA(x)), n_in,
                                             outs, caps, counts)
                  : chanbank_execute(self->state, static_cast<const float *>(PyArray_DATA(x)),
                                     n_in, outs, caps, counts);
    Py_END_ALLOW_THREADS
    if (status != 0) {
        PyErr_SetString(PyExc_RuntimeError, "the channel bank refused the block");
        goto done;
    }
    result = PyDict_New();
    for (size_t i = 0; result != nullptr && i < n; ++i) {
        PyObject *key = PyLong_FromLong(ids[i]);
        PyObject *stop = PyLong_FromSize_t(counts[i]);
        PyObject *slice = stop ? PySlice_New(nullptr, stop, nullptr) : nullptr;
        PyObject *view = slice ? PyObject_GetItem(arrays[i], slice) : nullptr;
        const int bad = !key || !view || PyDict_SetItem(result, key, view) < 0;
        Py_XDECREF(key);
        Py_XDECREF(stop);
        Py_XDECREF(slice);
        Py_XDECREF(view);
        if (bad)
            Py_CLEAR(result);
    }

done:
    _bank_unclaim(self);
    if (arrays)
        for (size_t i = 0; i < n; ++i)
            Py_XDECREF(arrays[i]);
    PyMem_Free(arrays);
    PyMem_Free(outs);
    PyMem_Free(caps);
    PyMem_Free(counts);
    PyMem_Free(ids);
    Py_DECREF(xa);
    return result;
}

PyMethodDef bank_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(bank_add), METH_VARARGS,
     "add(carrier, rate, atten_db, path) -> int"},
    {"remove", reinterpret_cast<PyCFunction>(bank_remove), METH_O, "remove(id) -> None"},
    {"retune", reinterpret_cast<PyCFunction>(bank_retune), METH_VARARGS,
     "retune(id, carrier) -> None"},
    {"channels", reinterpret_cast<PyCFunction>(bank_channels), METH_NOARGS,
     "channels() -> tuple of (id, carrier, rate, atten_db, path, delay, cost)"},
    {"shared_cost", reinterpret_cast<PyCFunction>(bank_shared_cost), METH_NOARGS,
     "shared_cost() -> float"},
    {"process", reinterpret_cast<PyCFunction>(bank_process), METH_O,
     "process(x) -> dict[int, ndarray[complex64]]"},
    {"reset", reinterpret_cast<PyCFunction>(bank_reset), METH_NOARGS, "reset() -> None"},
    {"close", reinterpret_cast<PyCFunction>(bank_close), METH_NOARGS, "close() -> None"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef bank_getset[] = {
    {"closed", reinterpret_cast<getter>(bank_get_closed), nullptr, "True once closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot bank_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(bank_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(bank_dealloc)},
    {Py_tp_methods, bank_methods},
    {Py_tp_getset, bank_getset},
    {Py_tp_doc, const_cast<char *>("Bank(complex_input, atten_db, max_rate)\n\n"
                                   "A channel bank (ddc/chanbank.h).")},
    {0, nullptr},
};

PyType_Spec bank_spec = {
    "quorvel.ddc._core.Bank",
    static_cast<int>(sizeof(Bank)),
    0,
    Py_TPFLAGS_DEFAULT,
    bank_slots,
};

// --- module functions -----------------------------------------------------------

PyObject *mod_check(PyObject *, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"kind", "rate", "atten_db", nullptr};
    const char *kind_name;
    double rate;
    PyObject *atten_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "sd|O:check", const_cast<char **>(kwlist),
                                     &kind_name, &rate, &atten_obj))
        return nullptr;
    const int kind = _parse_kind(kind_name);
    if (kind < 0)
        return nullptr;
    const double atten = _parse_atten(atten_obj);
    if (atten < 0.0 || !_check_rate(kind, rate, atten > 0.0))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *mod_ddcr_execute_capacity(PyObject *, PyObject *arg)
{
    const Py_ssize_t n = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "n_in must not be negative, got %zd", n);
        return nullptr;
    }
    return PyLong_FromSize_t(ddcr_execute_capacity(static_cast<size_t>(n)));
}

// This module links its own copy of the library, so the kernel variant is
// forced here too when the tests run the suite on one variant.
PyObject *mod_simd_force(PyObject *, PyObject *arg)
{
    const long level = PyLong_AsLong(arg);
    if (level == -1 && PyErr_Occurred())
        return nullptr;
    return PyLong_FromLong(ddc_simd_force(static_cast<int>(level)));
}

PyObject *mod_simd_level(PyObject *, PyObject *)
{
    return PyLong_FromLong(ddc_simd_level());
}

// --- tables ---------------------------------------------------------------------

PyMethodDef conv_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(conv_process)),
     METH_VARARGS | METH_KEYWORDS,
     "process(x, out=None) -> ndarray[complex64]\n\nConverts one block; returns out[:n_out]."},
    {"reset", reinterpret_cast<PyCFunction>(conv_reset), METH_NOARGS,
     "reset() -> None\n\nEvery history and phase back to creation; tuning and rate kept."},
    {"close", reinterpret_cast<PyCFunction>(conv_close), METH_NOARGS,
     "close() -> None\n\nReleases the native state now; again does nothing."},
    {"capacity", reinterpret_cast<PyCFunction>(conv_capacity), METH_O,
     "capacity(n_in) -> int\n\nOutput room that suffices for this state's next block of n_in."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef conv_getset[] = {
    {"norm_freq", reinterpret_cast<getter>(conv_get_norm_freq),
     reinterpret_cast<setter>(conv_set_norm_freq), "Oscillator frequency; setting it retunes.",
     nullptr},
    {"rate", reinterpret_cast<getter>(conv_get_rate), nullptr, "fs_out / fs_in.", nullptr},
    {"plan", reinterpret_cast<getter>(conv_get_plan), nullptr, "Stage labels, in order.", nullptr},
    {"delay", reinterpret_cast<getter>(conv_get_delay), nullptr,
     "Group delay in output samples.", nullptr},
    {"atten_db", reinterpret_cast<getter>(conv_get_atten_db), nullptr,
     "Stop-band attenuation of a designed plan; None for the exact plan.", nullptr},
    {"cost", reinterpret_cast<getter>(conv_get_cost), nullptr,
     "Multiply-adds per input sample.", nullptr},
    {"closed", reinterpret_cast<getter>(conv_get_closed), nullptr, "True once closed.", nullptr},
    {"kind", reinterpret_cast<getter>(conv_get_kind), nullptr, "'ddcr' or 'ddc'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot conv_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(conv_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(conv_dealloc)},
    {Py_tp_methods, conv_methods},
    {Py_tp_getset, conv_getset},
    {Py_tp_doc, const_cast<char *>("Converter(kind, norm_freq, rate, atten_db=None)\n\n"
                                   "A DDCR ('ddcr', real float32 in) or DDC ('ddc', complex64 "
                                   "in); atten_db None selects the exact plan.")},
    {0, nullptr},
};

PyType_Spec conv_spec = {
    "quorvel.ddc._core.Converter",
    static_cast<int>(sizeof(Converter)),
    0,
    Py_TPFLAGS_DEFAULT,
    conv_slots,
};

PyMethodDef module_methods[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(mod_check)),
     METH_VARARGS | METH_KEYWORDS,
     "check(kind, rate, atten_db=None) -> None\n\nRaises what Converter would for these arguments."},
    {"ddcr_execute_capacity", mod_ddcr_execute_capacity, METH_O,
     "ddcr_execute_capacity(n_in) -> int\n\nOutput room that suffices for any DDCR in any state."},
    {"_simd_force", mod_simd_force, METH_O, "Forces a kernel variant in this module's library."},
    {"_simd_level", mod_simd_level, METH_NOARGS, "The kernel variant in force here."},
    {nullptr, nullptr, 0, nullptr},
};

struct PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "quorvel.ddc._core",
    "Native down-converter objects behind quorvel.ddc.DDCR and quorvel.ddc.DDC.",
    -1,
    module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void)
{
    import_array();
    PyObject *m = PyModule_Create(&core_module);
    if (m == nullptr)
        return nullptr;
    PyObject *type = PyType_FromSpec(&conv_spec);
    if (type == nullptr || PyModule_AddObject(m, "Converter", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(m);
        return nullptr;
    }
    PyObject *bank_type = PyType_FromSpec(&bank_spec);
    if (bank_type == nullptr || PyModule_AddObject(m, "Bank", bank_type) < 0) {
        Py_XDECREF(bank_type);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
