"""Resampler on signals: tones land where the ratio puts them, aliases stay down."""
import numpy as np
import pytest
from scipy.signal import get_window

from resamp_model import builtin, run


def tone(f, n):
    return np.exp(2j * np.pi * f * np.arange(n)).astype(np.complex64)


def spectrum_db(y):
    """Windowed spectrum in dB relative to a unit-amplitude tone, with bin frequencies."""
    w = get_window("blackmanharris", len(y))
    X = np.fft.fft(y.astype(np.complex128) * w)
    return 20 * np.log10(np.abs(X) / w.sum() + 1e-300), np.fft.fftfreq(len(y))


def peak_frequency(y):
    db, f = spectrum_db(y)
    k = int(np.argmax(db))
    a, b, c = db[k - 1], db[k], db[(k + 1) % len(db)]
    return f[k] + 0.5 * (a - c) / (a - 2 * b + c) / len(y), b


@pytest.mark.parametrize("rate", [0.3, 0.37, 0.5, 0.75, 1.5, 2.3, 2.5])
@pytest.mark.parametrize("f_low", [0.05, -0.13, 0.3])
def test_tone_comes_out_at_the_ratio_frequency(rate, f_low):
    # f_low: cycles per sample at the lower of the two rates, inside the pass band.
    f_in = f_low * rate if rate < 1 else f_low
    n_in = int(6000 / max(rate, 1.0))
    with builtin(rate) as h:
        y = run(h, tone(f_in, n_in))
    y = y[64:]
    f, _ = peak_frequency(y)
    assert f == pytest.approx(f_in / rate, abs=2e-4)
    # Pass-band gain, by projecting onto the expected tone.
    gain = abs(np.mean(y * np.exp(-2j * np.pi * f_in / rate * np.arange(len(y)))))
    assert gain == pytest.approx(1.0, abs=1e-3), gain


@pytest.mark.parametrize("rate", [0.3, 0.37, 0.5, 0.75])
def test_decimating_rejects_beyond_0_6_of_output_rate(rate):
    # Every tone from 0.6 output periods up to the input's Nyquist, both signs.
    top = 0.5 / rate
    for f_out in np.concatenate([np.linspace(0.6, min(top, 1.6), 7), -np.linspace(0.6, min(top, 1.6), 4)]):
        with builtin(rate) as h:
            y = run(h, tone(f_out * rate, 6000))
        db, _ = spectrum_db(y[64:])
        assert db.max() < -55.0, (rate, f_out, db.max())
