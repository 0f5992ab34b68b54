"""ctypes access to the native interface exported by the ddc_fn extension.

Every exported signature is declared once here. Pointers travel as c_void_p;
use ``ptr(array)`` to pass a NumPy buffer. Complex blocks are numpy.complex64.
Set DDC_FN_PATH to test an extension that is not installed.
"""
import ctypes
import os
from ctypes import c_char_p, c_double, c_int, c_int32, c_size_t, c_uint32, c_void_p

import numpy as np

P = c_void_p


def _library_path():
    path = os.environ.get("DDC_FN_PATH")
    if path:
        return path
    import ddc_fn

    return ddc_fn.__file__


SIGNATURES = {
    # oscillator
    "lo_create": (P, [c_double]),
    "lo_destroy": (None, [P]),
    "lo_reset": (None, [P]),
    "lo_get_norm_freq": (c_double, [P]),
    "lo_set_norm_freq": (None, [P, c_double]),
    "lo_get_phase": (c_uint32, [P]),
    "lo_set_phase": (None, [P, c_uint32]),
    "lo_get_phase_inc": (c_uint32, [P]),
    "lo_steps": (c_size_t, [P, c_size_t, P]),
    "lo_steps_ctrl": (c_size_t, [P, P, c_size_t, P]),
    "lo_steps_max_out": (c_size_t, []),
    "lo_steps_ctrl_max_out": (c_size_t, []),
    "lo_mix": (c_size_t, [P, P, c_size_t, P]),
    # fine oscillator
    "nco_create": (P, [c_double]),
    "nco_destroy": (None, [P]),
    "nco_reset": (None, [P]),
    "nco_get_norm_freq": (c_double, [P]),
    "nco_set_norm_freq": (None, [P, c_double]),
    "nco_get_phase": (c_uint32, [P]),
    "nco_set_phase": (None, [P, c_uint32]),
    "nco_get_phase_inc": (c_uint32, [P]),
    "nco_steps": (c_size_t, [P, c_size_t, P]),
    "nco_mix": (c_size_t, [P, P, c_size_t, P]),
    # half-band real-to-complex decimator
    "hbdecim_r2c_create": (P, [c_size_t, P]),
    "hbdecim_r2c_destroy": (None, [P]),
    "hbdecim_r2c_reset": (None, [P]),
    "hbdecim_r2c_get_rate": (c_double, [P]),
    "hbdecim_r2c_get_num_taps": (c_size_t, [P]),
    "hbdecim_r2c_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    # half-band decimator
    "hbdecim_create": (P, [c_size_t, P]),
    "hbdecim_destroy": (None, [P]),
    "hbdecim_reset": (None, [P]),
    "hbdecim_get_rate": (c_double, [P]),
    "hbdecim_get_num_taps": (c_size_t, [P]),
    "hbdecim_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    # CIC
    "cic_create": (P, [c_uint32]),
    "cic_destroy": (None, [P]),
    "cic_reset": (None, [P]),
    "cic_reconfigure": (None, [P, c_uint32]),
    "cic_decimate_max_out": (c_size_t, []),
    "cic_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    "cic_get_ratio": (c_uint32, [P]),
    "cic_get_shift": (c_uint32, [P]),
    "cic_get_counter": (c_uint32, [P]),
    # FIR
    "fir_create": (P, [P, c_size_t]),
    "fir_create_real": (P, [P, c_size_t]),
    "fir_destroy": (None, [P]),
    "fir_reset": (None, [P]),
    "fir_get_num_taps": (c_size_t, [P]),
    "fir_get_is_real": (c_int, [P]),
    "fir_get_work_cap": (c_size_t, [P]),
    "fir_execute_max_out": (c_size_t, []),
    "fir_execute": (c_size_t, [P, P, c_size_t, P]),
    # resampler
    "resamp_create": (P, [c_double]),
    "resamp_create_custom": (P, [c_size_t, c_size_t, P, c_double]),
    "resamp_destroy": (None, [P]),
    "resamp_reset": (None, [P]),
    "resamp_get_rate": (c_double, [P]),
    "resamp_set_rate": (None, [P, c_double]),
    "resamp_get_num_phases": (c_size_t, [P]),
    "resamp_get_num_taps": (c_size_t, [P]),
    "resamp_get_phase": (c_uint32, [P]),
    "resamp_get_phase_step": (c_uint32, [P]),
    "resamp_get_phase_bits": (c_uint32, [P]),
    "resamp_get_interpolating": (c_int, [P]),
    "resamp_get_history_size": (c_size_t, [P]),
    "resamp_get_bank": (P, [P]),
    "resamp_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    "resamp_execute_ctrl": (c_size_t, [P, P, P, c_size_t, P, c_size_t]),
    # designed resampler
    "presamp_create": (P, [c_double, c_double]),
    "presamp_destroy": (None, [P]),
    "presamp_reset": (None, [P]),
    "presamp_get_rate": (c_double, [P]),
    "presamp_get_atten_db": (c_double, [P]),
    "presamp_get_num_phases": (c_size_t, [P]),
    "presamp_get_num_taps": (c_size_t, [P]),
    "presamp_get_delay": (c_double, [P]),
    "presamp_capacity": (c_size_t, [P, c_size_t]),
    "presamp_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    # translating decimator
    "xlate_create": (P, [c_double, c_uint32, c_uint32, c_double]),
    "xlate_ratio": (c_int, [c_double, P, P]),
    "xlate_destroy": (None, [P]),
    "xlate_reset": (None, [P]),
    "xlate_get_norm_freq": (c_double, [P]),
    "xlate_set_norm_freq": (None, [P, c_double]),
    "xlate_get_up": (c_uint32, [P]),
    "xlate_get_down": (c_uint32, [P]),
    "xlate_get_num_taps": (c_size_t, [P]),
    "xlate_get_delay": (c_double, [P]),
    "xlate_get_cost": (c_double, [P]),
    "xlate_capacity": (c_size_t, [P, c_size_t]),
    "xlate_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    # design
    "ciccompmf": (None, [P, c_uint32, c_uint32, c_uint32]),
    "kaiser_beta": (c_double, [c_double]),
    "kaiser_num_taps": (c_int32, [c_int32, c_double, c_double, c_double]),
    "halfband_num_coeffs": (c_size_t, [c_double, c_double]),
    "halfband_design": (c_size_t, [c_double, c_double, P, c_size_t]),
    # rate converter
    "RateConverter_create": (P, [c_int, c_double]),
    "RateConverter_destroy": (None, [P]),
    "RateConverter_set_rate": (None, [P, c_double]),
    "RateConverter_get_rate": (c_double, [P]),
    "RateConverter_stage_label": (c_int, [P, c_int, c_char_p, c_size_t]),
    "RateConverter_get_num_stages": (c_int, [P]),
    "RateConverter_get_scratch_cap": (c_size_t, [P]),
    "RateConverter_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    "RateConverter_reset": (None, [P]),
    "RateConverter_execute_max_out": (c_size_t, [P]),
    "RateConverter_convert": (c_size_t, [c_int, c_double, P, c_size_t, P, c_size_t]),
    "RateConverter_create_designed": (P, [c_double, c_double]),
    "RateConverter_execute_capacity": (c_size_t, [P, c_size_t]),
    "RateConverter_get_atten_db": (c_double, [P]),
    "RateConverter_get_delay": (c_double, [P]),
    "RateConverter_get_cost": (c_double, [P]),
    # real-input down-converter
    "ddcr_create": (P, [c_double, c_double]),
    "ddcr_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    "ddcr_reset": (None, [P]),
    "ddcr_destroy": (None, [P]),
    "ddcr_get_norm_freq": (c_double, [P]),
    "ddcr_set_norm_freq": (None, [P, c_double]),
    "ddcr_get_rate": (c_double, [P]),
    "ddcr_execute_max_out": (c_size_t, []),
    "ddcr_execute_capacity": (c_size_t, [c_size_t]),
    "ddcr_create_designed": (P, [c_double, c_double, c_double]),
    "ddcr_capacity": (c_size_t, [P, c_size_t]),
    "ddcr_get_atten_db": (c_double, [P]),
    "ddcr_get_delay": (c_double, [P]),
    "ddcr_get_cost": (c_double, [P]),
    "ddcr_get_num_stages": (c_int, [P]),
    "ddcr_stage_label": (c_int, [P, c_int, c_char_p, c_size_t]),
    # complex-input down-converter
    "ddc_create": (P, [c_double, c_double]),
    "ddc_execute": (c_size_t, [P, P, c_size_t, P, c_size_t]),
    "ddc_reset": (None, [P]),
    "ddc_destroy": (None, [P]),
    "ddc_get_norm_freq": (c_double, [P]),
    "ddc_set_norm_freq": (None, [P, c_double]),
    "ddc_get_rate": (c_double, [P]),
    "ddc_execute_max_out": (c_size_t, []),
    "ddc_execute_capacity": (c_size_t, [P, c_size_t]),
    "ddc_create_designed": (P, [c_double, c_double, c_double]),
    "ddc_get_atten_db": (c_double, [P]),
    "ddc_get_delay": (c_double, [P]),
    "ddc_get_cost": (c_double, [P]),
    "ddc_get_num_stages": (c_int, [P]),
    "ddc_stage_label": (c_int, [P, c_int, c_char_p, c_size_t]),
    # channel bank
    "chanbank_create": (P, [c_int, c_double, c_double]),
    "chanbank_destroy": (None, [P]),
    "chanbank_reset": (None, [P]),
    "chanbank_is_complex": (c_int, [P]),
    "chanbank_get_atten_db": (c_double, [P]),
    "chanbank_get_max_rate": (c_double, [P]),
    "chanbank_add": (c_int, [P, c_double, c_double, c_double, c_int]),
    "chanbank_remove": (c_int, [P, c_int]),
    "chanbank_retune": (c_int, [P, c_int, c_double]),
    "chanbank_num_channels": (c_size_t, [P]),
    "chanbank_channel_id": (c_int, [P, c_size_t]),
    "chanbank_channel_info": (c_int, [P, c_int, P, P, P, P]),
    "chanbank_get_delay": (c_double, [P, c_int]),
    "chanbank_get_cost": (c_double, [P, c_int]),
    "chanbank_get_shared_cost": (c_double, [P]),
    "chanbank_capacity": (c_size_t, [P, c_int, c_size_t]),
    "chanbank_execute": (c_int, [P, P, c_size_t, P, P, P]),
    "chanbank_execute_complex": (c_int, [P, P, c_size_t, P, P, P]),
    # kernel variant selection
    "ddc_simd_supported": (c_int, []),
    "ddc_simd_level": (c_int, []),
    "ddc_simd_force": (c_int, [c_int]),
}


class _Lib:
    """The extension opened with ctypes; attribute access gives declared functions."""

    def __init__(self, path):
        self.path = path
        self._dll = ctypes.CDLL(path)
        self.missing = []
        for name, (restype, argtypes) in SIGNATURES.items():
            try:
                fn = getattr(self._dll, name)
            except AttributeError:
                self.missing.append(name)
                continue
            fn.restype = restype
            fn.argtypes = argtypes
            setattr(self, name, fn)


lib = _Lib(_library_path())


# --- NumPy-friendly helpers -------------------------------------------------

# Under the sanitizer build (tests/sanitize/run.sh) the spectral sweeps run on
# every n-th case: their figures do not change with instrumentation, and the
# memory checks need the code paths, not every rate.
SANITIZED = os.environ.get("DDC_SANITIZED") == "1"


def thin(cases, step=3):
    cases = list(cases)
    return cases[::step] if SANITIZED else cases


def ptr(a):
    """Address of a NumPy array's first element (None for None)."""
    if a is None:
        return None
    return ctypes.c_void_p(a.ctypes.data)


def f32(x):
    return np.ascontiguousarray(x, dtype=np.float32)


def c64(x):
    return np.ascontiguousarray(x, dtype=np.complex64)


def f32_bits(x):
    """The float32 (or complex64) buffer as uint32 words, for bit-exact comparison."""
    return np.ascontiguousarray(x).view(np.uint32)


def fmaf(a, b, c):
    """Correctly rounded float32 a*b + c, elementwise: the exact product in double,
    an error-free sum, then one rounding to float32 via round-to-odd."""
    a, b, c = (np.asarray(v, np.float32).astype(np.float64) for v in (a, b, c))
    p = a * b                      # exact: 24 + 24 bits
    s = p + c
    bb = s - p                     # TwoSum: p + c == s + e exactly
    e = (p - (s - bb)) + (c - bb)
    bits = np.atleast_1d(s).view(np.int64).copy()
    e = np.atleast_1d(e)
    inexact_even = np.isfinite(e) & (e != 0) & ((bits & 1) == 0)  # inf/NaN sums pass through
    away = (e > 0) == (np.atleast_1d(s) > 0)
    bits[inexact_even] += np.where(away, 1, -1)[inexact_even]
    out = bits.view(np.float64).astype(np.float32)
    return out.reshape(np.shape(s)) if np.ndim(s) else out[0]


def bits_equal(a, b):
    a = np.ascontiguousarray(a)
    b = np.ascontiguousarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def nan_policy_equal(got, ref):
    """The NaN rule of stages/simd.h: NaN where ref is NaN, every other float's bits."""
    g = np.ascontiguousarray(got).view(np.float32)
    r = np.ascontiguousarray(ref).view(np.float32)
    if g.shape != r.shape:
        return False
    nan = np.isnan(r)
    return bool(np.array_equal(np.isnan(g), nan) and bits_equal(g[~nan], r[~nan]))


def _vector_levels():
    """The vector kernel levels ddc_simd_force accepts on this CPU (1 AVX2, 2 AVX-512, 3 NEON)."""
    before = lib.ddc_simd_level()
    levels = [level for level in (1, 2, 3) if lib.ddc_simd_force(level) == level]
    lib.ddc_simd_force(before)
    return levels


VECTOR_LEVELS = _vector_levels()


class Handle:
    """Owns a native handle and destroys it when closed or collected.

    ``Handle(lib.lo_create(0.25), lib.lo_destroy)``; use ``h.p`` as the pointer.
    """

    def __init__(self, pointer, destroy):
        if not pointer:
            raise MemoryError("native create returned null")
        self.p = ctypes.c_void_p(pointer)
        self._destroy = destroy

    def close(self):
        if self.p is not None:
            self._destroy(self.p)
            self.p = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


def execute_c2c(fn, handle, x, cap=None):
    """Run a complex->complex execute(handle, in, n, out, cap) and return out[:count]."""
    x = c64(x)
    cap = len(x) + 2 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    n = fn(handle.p if isinstance(handle, Handle) else handle, ptr(x), len(x), ptr(out), cap)
    return out[:n].copy()


def execute_r2c(fn, handle, x, cap=None):
    """Run a real->complex execute(handle, in, n, out, cap) and return out[:count]."""
    x = f32(x)
    cap = len(x) + 2 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    n = fn(handle.p if isinstance(handle, Handle) else handle, ptr(x), len(x), ptr(out), cap)
    return out[:n].copy()


# Half-band branch table (float32 nearest to these values), outermost first.
HB_TABLE_HALF = [0.00157905323, -0.00467577344, 0.0104431789, -0.0201746244, 0.0357989259,
                 -0.0608663708, 0.104113407, -0.19753781, 0.631600916]
HB_TABLE = np.array(HB_TABLE_HALF + HB_TABLE_HALF[::-1], dtype=np.float32)
