"""Many channels from one input for the ``ddc`` command, through the channel bank.

The channels come from repeated ``--carrier`` / ``--norm-carrier`` or from a
channel list file (`read_channel_file`); ``-o`` is a name pattern that
`expand` turns into one path per channel. Every check that can refuse the run
(bands, rates, names, colliding paths, the input) happens before any output
is opened, and the outputs appear together only when the whole input has
been converted: each is a hidden temporary file until then, as on the
single-channel path.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import re
import sys
import types
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

import numpy as np

from ._stream import AtomicFile, Encoder, InputError, Source, open_source
from .cli import (_atten, _check_clash, _isatty, _meta_path, _metadata, _progress, _Settings, _Target,
                  _UsageError, _wav_writer, _OUT_SUFFIXES)

FIELDS = ("carrier", "frequency", "index", "name", "fs_out")
_FIELD = re.compile(r"\{(\w+)(?::([^{}]*))?\}")
_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.+-]*$")
_KEYS = {"rate": "rate", "fs_out": "fs_out", "fs-out": "fs_out", "name": "name"}


class Wanted(NamedTuple):
    """One channel as asked for; exactly one of carrier (Hz) and norm_carrier is set."""

    carrier: Optional[float]
    norm_carrier: Optional[float]
    rate: Optional[float]
    fs_out: Optional[float]
    name: Optional[str]
    where: str  # for messages: "FILE:LINE" or the option that gave it


# -- channel list file ------------------------------------------------------------

def _number(text: str, what: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise ValueError(f"{what} {text!r} is not a number") from None
    if not np.isfinite(v):
        raise ValueError(f"{what} {text!r} is not finite")
    return v


def ratio(text: str, what: str = "rate") -> float:
    """A rate written as a number or as a fraction P/Q (1/12), both parts finite."""
    num, slash, den = text.partition("/")
    if not slash:
        return _number(text, what)
    try:
        p, q = _number(num, what), _number(den, what)
    except ValueError:
        raise ValueError(f"{what} {text!r} is not a number or a fraction P/Q") from None
    if q == 0:
        raise ValueError(f"{what} {text!r} divides by zero")
    return p / q


def parse_channel_line(line: str, where: str) -> Optional[Wanted]:
    """One line of a channel list: None for a blank or comment line."""
    words = line.split("#", 1)[0].split()
    if not words:
        return None
    first, rest = words[0], words[1:]
    if first.lower().endswith("fs"):
        carrier, norm = None, _number(first[:-2], "normalised carrier")
    else:
        carrier, norm = _number(first, "carrier"), None
    got: Dict[str, Any] = {}
    for w in rest:
        key, eq, value = w.partition("=")
        if not eq:
            key, value = "name", w
            try:
                float(w)
            except ValueError:
                pass
            else:
                raise ValueError(f"{w!r}: a bare number says nothing; write rate={w} or "
                                 f"fs_out={w}")
        if key not in _KEYS:
            raise ValueError(f"unknown field {key!r} (rate=, fs_out=, name=)")
        key = _KEYS[key]
        if key in got:
            raise ValueError(f"{key} given twice")
        if key == "name":
            if not _NAME.match(value):
                raise ValueError(f"name {value!r}: letters, digits and _ . + - only, not "
                                 "starting with . + - _")
            got[key] = value
        else:
            got[key] = ratio(value) if key == "rate" else _number(value, key)
    if "rate" in got and "fs_out" in got:
        raise ValueError("rate= and fs_out= both given; one says the output rate")
    return Wanted(carrier, norm, got.get("rate"), got.get("fs_out"), got.get("name"), where)


def read_channel_file(path: str) -> List[Wanted]:
    """The channels of a channel list file; a bad line is a usage error naming FILE:LINE."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        why = getattr(e, "strerror", None) or str(e)
        raise InputError(f"cannot read the channel list {path}: {why}") from None
    wanted: List[Wanted] = []
    for i, line in enumerate(lines, 1):
        where = f"{path}:{i}"
        try:
            chan = parse_channel_line(line, where)
        except ValueError as e:
            raise _UsageError(f"{where}: {e}") from None
        if chan is not None:
            wanted.append(chan)
    if not wanted:
        raise _UsageError(f"{path}: no channels (one line per channel: CARRIER [rate=R | "
                          "fs_out=HZ] [name=NAME])")
    return wanted


def wanted_channels(args: argparse.Namespace) -> List[Wanted]:
    """The channels the command line asks for, in order."""
    if args.channels is not None:
        return read_channel_file(args.channels)
    if args.carrier is not None:
        return [Wanted(c, None, None, None, None, f"--carrier {c:g}") for c in args.carrier]
    return [Wanted(None, n, None, None, None, f"--norm-carrier {n:g}") for n in args.norm_carrier]


# -- output names -------------------------------------------------------------------

def has_fields(pattern: str) -> bool:
    return any(m.group(1) in FIELDS for m in _FIELD.finditer(pattern))


def plain(v: Any) -> str:
    """A number as a person writes it: 145.5e6 as 145500000, 0.1 x 2.4e6 as 240000."""
    if isinstance(v, str):
        return v
    if isinstance(v, (int, np.integer)):
        return str(int(v))
    return np.format_float_positional(float(f"{float(v):.12g}"), trim="-")


def expand(pattern: str, values: Dict[str, Any], who: str) -> str:
    """The pattern with {field} and {field:format} replaced by the channel's values."""
    def sub(m: "re.Match[str]") -> str:
        key, form = m.group(1), m.group(2)
        if key not in FIELDS:
            raise _UsageError(f"-o {pattern}: unknown field {{{key}}}; the fields are "
                              + " ".join(f"{{{f}}}" for f in FIELDS))
        v = values[key]
        if v is None:
            why = (f"{who} has no name" if key == "name" else
                   f"{{{key}}} is in Hz and needs the input sample rate (give --fs)")
            raise _UsageError(f"-o {pattern}: {why}; name the outputs by {{index}} instead")
        if form is None:
            return plain(v)
        try:
            return format(v, form)
        except (ValueError, TypeError):
            raise _UsageError(f"-o {pattern}: bad format {{{key}:{form}}} for "
                              f"{plain(v)}") from None
    return _FIELD.sub(sub, pattern)


def _identity(path: str) -> Tuple[Any, ...]:
    """What makes two paths one file: the inode of an existing one, else the resolved name."""
    try:
        st = os.stat(path)
        return ("inode", st.st_dev, st.st_ino)
    except OSError:
        return ("path", os.path.normcase(os.path.realpath(path)))


def _format_of(args: argparse.Namespace, path: str) -> str:
    if args.output_format != "auto":
        return str(args.output_format)
    name = path.lower()
    for suffix, fmt in _OUT_SUFFIXES.items():
        if name.endswith(suffix):
            return fmt
    return "cf32"


# -- the run -------------------------------------------------------------------------

class _Out:
    """One channel's output: settings, files, encoder and counts."""

    def __init__(self, index: int, chan: Wanted, s: _Settings, path: str, fmt: str,
                 meta_path: Optional[str]) -> None:
        self.index, self.chan, self.s = index, chan, s
        self.path, self.fmt, self.meta_path = path, fmt, meta_path
        self.cid = -1
        self.n = 0
        self.target: Optional[_Target] = None
        self.meta: Optional[AtomicFile] = None
        self.close_wav: Optional[Callable[[], None]] = None
        self.digest: Any = None
        wav = fmt in ("wav", "wav16")
        self.encoder = Encoder("cs16" if fmt == "wav16" else "cf32" if wav else fmt)
        self.write: Callable[[np.ndarray], None]

    def label(self) -> str:
        return f"channel {self.index} ({self.chan.where})"

    def open(self, hash_: bool) -> None:
        self.target = _Target(self.path)
        if not self.target.regular:
            self.meta_path = None
        if self.fmt in ("wav", "wav16"):
            self.write, self.close_wav = _wav_writer(self.target, self.fmt, self.s.fs_out,
                                                     self.encoder)
            return
        if hash_ and self.meta_path:
            self.digest = hashlib.sha512()
        sink, encode, digest = self.target, self.encoder.encode, self.digest

        def write(y: np.ndarray) -> None:
            data = encode(y)
            if digest is not None:
                digest.update(data)
            sink.write(data)

        self.write = write

    def discard(self) -> None:
        if self.close_wav is not None:  # before its descriptor goes
            close, self.close_wav = self.close_wav, None
            try:
                close()
            except Exception:
                pass
        for f in (self.target, self.meta):
            if f is not None:
                f.discard()
        self.target = self.meta = None


def _fd_room(n: int) -> None:
    """Each channel keeps its output open and, at the end, its metadata too."""
    need = 2 * n + 32
    try:
        import resource

        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft != resource.RLIM_INFINITY and soft < need:
            top = need if hard == resource.RLIM_INFINITY else min(hard, need)
            resource.setrlimit(resource.RLIMIT_NOFILE, (top, hard))
            soft = top
    except (ImportError, ValueError, OSError):
        return
    if soft < need:
        raise _UsageError(f"{n} channels need about {need} open files, more than this "
                          f"process may have ({soft}; see ulimit -n)")


def _settings(args: argparse.Namespace, chan: Wanted, source: Source) -> _Settings:
    one = argparse.Namespace(**vars(args))
    one.carrier, one.norm_carrier = chan.carrier, chan.norm_carrier
    if chan.rate is not None or chan.fs_out is not None:
        one.rate, one.fs_out = chan.rate, chan.fs_out
    if one.rate is None and one.fs_out is None:
        raise _UsageError(f"{chan.where}: no output rate: give rate= or fs_out= on the line, "
                          "or --rate / --fs-out for every channel")
    try:
        return _Settings(one, source)
    except _UsageError as e:
        raise _UsageError(f"{chan.where}: {e}") from None


def run(args: argparse.Namespace, wanted: List[Wanted]) -> int:
    """Convert every channel of `wanted` from one pass over the input."""
    from .bank import ChannelBank

    if args.exact:
        raise _UsageError("--exact: the channel bank runs designed plans only; drop --exact "
                          "(--atten sets their attenuation), or give one carrier and a plain "
                          "-o PATH for the exact plan")
    if args.input == "-" and _isatty(sys.stdin):
        raise _UsageError("no input: give a file or pipe samples into standard input")
    _atten(args)  # a bad --atten is the command's fault, not a channel's
    n = len(wanted)
    if args.output == "-":
        if n > 1:
            raise _UsageError(f"{n} channels cannot share standard output: give -o PATTERN, "
                              "e.g. -o 'ch_{index}.cf32'")
        if _isatty(sys.stdout):
            raise _UsageError("standard output is a terminal; give -o FILE or pipe the output")
    with open_source(args.input, args.format, strict=True) as source:
        outs: List[_Out] = []
        seen: Dict[Tuple[Any, ...], Tuple[str, str]] = {}
        for i, chan in enumerate(wanted):
            s = _settings(args, chan, source)
            who = f"channel {i} ({chan.where})"
            path = args.output
            if path != "-":
                path = expand(path, {"carrier": s.carrier_hz, "frequency": s.centre, "index": i,
                                     "name": chan.name, "fs_out": s.fs_out}, who)
            fmt = _format_of(args, path)
            meta_path = None
            if path != "-":
                if path.endswith(".sigmf-meta"):
                    raise _UsageError(f"{path}: the output holds samples; name it "
                                      ".sigmf-data and its metadata goes to .sigmf-meta")
                if not (args.no_meta or fmt in ("wav", "wav16")):
                    meta_path = _meta_path(path)
                for p, what in ((path, "the output"), (meta_path, "the metadata")):
                    if p is None:
                        continue
                    _check_clash(p, source, f"{who}: {what}", args.force)
                    if os.path.isdir(p):
                        raise InputError(f"cannot write {p}: is a directory")
                    key = _identity(p)
                    if key in seen:
                        other, other_what = seen[key]
                        raise _UsageError(
                            f"{other_what} of {other} and {what} of {who} would both be {p}; "
                            "give -o a field that tells the channels apart, such as {index}")
                    seen[key] = (who, what)
            if fmt in ("wav", "wav16") and s.fs_out is None:
                raise _UsageError("WAV output records the sample rate: give --fs (the input "
                                  "does not record one)")
            outs.append(_Out(i, chan, s, path, fmt, meta_path))
        atten = outs[0].s.atten
        assert atten is not None
        biggest = max(outs, key=lambda o: o.s.rate)
        try:
            bank = ChannelBank(complex_input=source.is_complex, atten_db=atten,
                               max_rate=biggest.s.rate)
        except ValueError as e:
            raise _UsageError(f"{biggest.label()}: {biggest.s.what}: the channel bank refuses "
                              f"it: {e}") from None
        bar = None
        try:
            # A lone channel runs the time path: the designed converter's bits.
            path_kind = "time" if n == 1 else "auto"
            for o in outs:
                try:
                    o.cid = bank.add(o.s.carrier, o.s.rate, atten_db=atten, path=path_kind)
                except ValueError as e:
                    raise _UsageError(f"{o.label()}: {o.s.what}: the channel bank refuses "
                                      f"it: {e}") from None
            _fd_room(n)
            for o in outs:
                o.open(args.hash)
            bar = _progress(source, args.quiet)
            process = bank.process
            pairs = [(o.cid, o) for o in outs]
            for x in source.blocks(args.block):
                ys = process(x)
                for cid, o in pairs:
                    y = ys[cid]
                    if len(y):
                        o.write(y)
                        o.n += len(y)
                if bar is not None:
                    bar.update(len(x))
            _finish(outs, bank, source)
        finally:
            for o in outs:
                o.discard()
            bank.close()
            if bar is not None:
                bar.close()
    clipped = [o for o in outs if o.encoder.clipped]
    if clipped:
        total = sum(o.encoder.clipped for o in clipped)
        print(f"ddc: warning: {total} values clipped at {clipped[0].fmt} full scale in "
              f"{len(clipped)} of {n} channels (first {clipped[0].path})", file=sys.stderr)
    return 0


def _finish(outs: List[_Out], bank: Any, source: Source) -> None:
    """Everything onto the disk first, then the renames: a failure renames nothing."""
    channels = bank.channels
    kind = "complex" if bank.complex_input else "real"
    for o in outs:
        if o.close_wav is not None:
            close, o.close_wav = o.close_wav, None
            close()  # writes the WAV header
        if o.meta_path is None:
            continue
        ch = channels[o.cid]
        conv = types.SimpleNamespace(
            plan=[f"ChannelBank({kind} input, max_rate {bank.max_rate!r}, {ch.path} path)"],
            delay=ch.delay)
        meta = json.loads(_metadata(o.s, conv, source, o.path, o.fmt, o.n,
                                    o.digest.hexdigest() if o.digest is not None else None))
        g = meta["global"]
        g["core:description"] += f"; channel {o.index} of {len(outs)} of a channel bank"
        g["quorvel:channel"] = o.index
        g["quorvel:path"] = ch.path
        if o.chan.name is not None:
            g["quorvel:name"] = o.chan.name
        o.meta = AtomicFile(o.meta_path)
        o.meta.write((json.dumps(meta, indent=4) + "\n").encode())
    for o in outs:
        for f in (o.target.atomic if o.target is not None else None, o.meta):
            if f is not None and f.fd is not None:
                try:
                    os.fsync(f.fd)
                except OSError as e:
                    raise InputError(f"cannot write {f.path}: {e.strerror or e}") from None
    for o in outs:
        assert o.target is not None
        o.target.commit()
        o.target = None
        if o.meta is not None:
            o.meta.commit()
            o.meta = None
