"""Which chunks of a block device hold file-system data.

A thin layer over libfsbmp's C interface (``fsbmp_c.h``), through ctypes::

    import fsbmp

    with fsbmp.open("/dev/sdb1") as s:
        print(s.kind, s.device_size, s.block_size)
        bits = s.bitmap(65536)          # bit c % 8 of byte c // 8: chunk c is used
        for offset, length in s.used_ranges(1 << 20):
            ...

    with fsbmp.open("disk.img", partition=2) as p:   # one partition of a disk, as the device
        ...

Failures raise :class:`fsbmp.Error`, an :class:`OSError` carrying the errno and the library's
message. The library is looked for beside this package first (where a build tree links it),
then where the dynamic linker finds it (an installed libfsbmp); ``FSBMP_LIBRARY`` names it
explicitly.
"""

import ctypes
import glob
import os
import threading
from typing import Iterator, List, Optional, Sequence, Tuple, Union

__all__ = ["Error", "Source", "open"]

# The C interface's major version: the shared object it lives in.
_SONAME = "libfsbmp.so.0"

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Error(OSError):
    """A failure of the library: ``errno`` says what kind, ``strerror`` the whole message."""


class _CError(ctypes.Structure):
    _fields_ = [("errnum", ctypes.c_int), ("message", ctypes.c_char * 1024)]


_RangeCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64)


def _library_candidates() -> List[str]:
    named = os.environ.get("FSBMP_LIBRARY")
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = sorted(glob.glob(os.path.join(here, "libfsbmp.so.*")))
    return beside + [_SONAME]


def _load() -> ctypes.CDLL:
    failures = []
    for candidate in _library_candidates():
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as e:
            failures.append(str(e))
    else:
        raise ImportError("fsbmp: libfsbmp not found: " + "; ".join(failures))
    source_p = ctypes.c_void_p
    error_p = ctypes.POINTER(_CError)
    signatures = {
        "fsbmp_open": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(source_p), error_p]),
        "fsbmp_open_layers": (
            ctypes.c_int,
            [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_char_p),
             ctypes.POINTER(source_p), error_p],
        ),
        "fsbmp_open_partition": (
            ctypes.c_int,
            [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(source_p), error_p],
        ),
        "fsbmp_close": (None, [source_p]),
        "fsbmp_kind": (ctypes.c_char_p, [source_p]),
        "fsbmp_device_size": (ctypes.c_uint64, [source_p]),
        "fsbmp_offset": (ctypes.c_uint64, [source_p]),
        "fsbmp_block_size": (ctypes.c_uint32, [source_p]),
        "fsbmp_bitmap": (
            ctypes.c_int,
            [
                source_p,
                ctypes.c_uint64,
                ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8)),
                ctypes.POINTER(ctypes.c_uint64),
                error_p,
            ],
        ),
        "fsbmp_used_ranges": (
            ctypes.c_int,
            [source_p, ctypes.c_uint64, _RangeCallback, ctypes.c_void_p, error_p],
        ),
        "fsbmp_set_journal_device": (ctypes.c_int, [source_p, ctypes.c_char_p, error_p]),
        "fsbmp_free": (None, [ctypes.c_void_p]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_lib = _load()


def _raise(err: _CError) -> None:
    message = err.message.decode("utf-8", "replace")
    raise Error(err.errnum, message)


class Source:
    """A file system, a whole disk, or one partition of a disk, opened by :func:`open`.

    Use it as a context manager, or call :meth:`close`. One thread at a time may use a source;
    different sources may be used by different threads at once (the library's calls release
    the interpreter lock).
    """

    def __init__(self, handle: ctypes.c_void_p, path: str) -> None:
        self._handle: Optional[ctypes.c_void_p] = handle
        self._lock = threading.Lock()
        self.path = path

    def _live(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise ValueError("fsbmp: operation on a closed source")
        return self._handle

    @property
    def kind(self) -> str:
        """What the source holds: "ext4", "ext3", "ext2", "xfs", "btrfs", "reiserfs", "vxfs",
        "disk", or, for a partition, also "swap" or "unknown"."""
        return _lib.fsbmp_kind(self._live()).decode("ascii")

    @property
    def device_size(self) -> int:
        """The device's (or the partition's) length in bytes."""
        return int(_lib.fsbmp_device_size(self._live()))

    @property
    def offset(self) -> int:
        """Where the source starts on the device opened: a partition's byte offset, else 0."""
        return int(_lib.fsbmp_offset(self._live()))

    @property
    def block_size(self) -> int:
        """The file system's block size (512 for a disk): chunk sizes are multiples of it."""
        return int(_lib.fsbmp_block_size(self._live()))

    def bitmap(self, chunk_size: int) -> bytes:
        """The used-chunk bitmap at ``chunk_size`` bytes per chunk (a power of two, a multiple
        of the block size, at most 1 GiB): chunk c is bit c % 8, least significant first, of
        byte c // 8, set when the chunk holds used blocks; ceil(chunks / 8) bytes, the bits past
        the last chunk zero."""
        bits = ctypes.POINTER(ctypes.c_uint8)()
        count = ctypes.c_uint64(0)
        err = _CError()
        with self._lock:
            if _lib.fsbmp_bitmap(self._live(), chunk_size, ctypes.byref(bits),
                                 ctypes.byref(count), ctypes.byref(err)) != 0:
                _raise(err)
        try:
            return ctypes.string_at(bits, (count.value + 7) // 8)
        finally:
            _lib.fsbmp_free(bits)

    def used_ranges(self, chunk_size: int) -> Iterator[Tuple[int, int]]:
        """The runs of used chunks at ``chunk_size`` as ``(offset, length)`` in bytes, in
        ascending order, adjacent chunks merged, the last run clipped to the device's end."""
        runs: List[Tuple[int, int]] = []

        def collect(_ctx: Optional[int], offset: int, length: int) -> int:
            runs.append((offset, length))
            return 0

        callback = _RangeCallback(collect)
        err = _CError()
        with self._lock:
            if _lib.fsbmp_used_ranges(self._live(), chunk_size, callback, None,
                                      ctypes.byref(err)) != 0:
                _raise(err)
        return iter(runs)

    def set_journal_device(self, path: PathLike) -> None:
        """Names the device holding the file system's external journal (ext3/4) or log (XFS);
        call it before :meth:`bitmap`."""
        err = _CError()
        with self._lock:
            if _lib.fsbmp_set_journal_device(self._live(), os.fsencode(path),
                                             ctypes.byref(err)) != 0:
                _raise(err)

    def close(self) -> None:
        """Releases the source and its device; closing twice does nothing."""
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            _lib.fsbmp_close(handle)

    def __enter__(self) -> "Source":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else self.kind
        return f"<fsbmp.Source {self.path!r} {state}>"


def _paths(paths: Optional[Sequence[PathLike]]) -> "ctypes.Array[ctypes.c_char_p]":
    raw = [os.fsencode(p) for p in (paths or [])]
    return (ctypes.c_char_p * (len(raw) + 1))(*raw, None)


def open(path: PathLike, partition: Optional[int] = None,  # noqa: A001
         members: Optional[Sequence[PathLike]] = None,
         decrypted: Optional[Sequence[PathLike]] = None) -> Source:
    """Opens the device or image at ``path`` as the ``fsbmp`` tool does: its file system, or,
    when it holds a partition table, the whole disk; with ``partition``, that partition of the
    disk alone, as if it were the device (its bitmap equals ``fsbmp bitmap -p N``).

    ``members`` names the other members of an md array the device belongs to (or the other
    devices of a btrfs file system), ``decrypted`` the opened devices that decrypt LUKS
    containers on it, as the tool's ``--member`` and ``--decrypted`` do (not with
    ``partition``).

    Raises :class:`Error` (``errno.ENOENT`` for a missing file, ``errno.ENOSYS`` where no file
    system is recognised, ``errno.EINVAL`` for a partition the disk does not have, ...)."""
    raw = os.fsencode(path)
    handle = ctypes.c_void_p()
    err = _CError()
    if members or decrypted:
        if partition is not None:
            raise ValueError("members and decrypted devices are named for a whole device")
        rc = _lib.fsbmp_open_layers(raw, _paths(members), _paths(decrypted),
                                    ctypes.byref(handle), ctypes.byref(err))
    elif partition is None:
        rc = _lib.fsbmp_open(raw, ctypes.byref(handle), ctypes.byref(err))
    else:
        rc = _lib.fsbmp_open_partition(raw, int(partition), ctypes.byref(handle),
                                       ctypes.byref(err))
    if rc != 0:
        _raise(err)
    return Source(handle, os.fsdecode(raw))
