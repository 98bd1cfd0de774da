"""Writing whole files without ever leaving a half-written one behind."""

from __future__ import annotations

import os
import stat

__all__ = ["write_file"]


def _fsync_directory(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _create_temporary(target: str, user_path) -> tuple[int, str]:
    directory, name = os.path.split(target)
    for _ in range(100):
        tmp = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.tmp")
        try:
            return os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666), tmp
        except FileExistsError:
            continue
        except OSError as exc:
            # Name the path the caller gave, not our temporary one.
            raise type(exc)(exc.errno, exc.strerror, os.fspath(user_path)) from None
    raise FileExistsError(f"could not create a temporary file next to {target!r}")


def _write_direct(output_path, data: bytes, closefd: bool = True) -> None:
    with open(output_path, "wb", closefd=closefd) as f:
        f.write(data)


def write_file(output_path, data: bytes) -> None:
    """Write ``data`` to ``output_path`` in one piece.

    A path to a regular file (or to no file yet) gets the bytes in a
    temporary file beside it, flushed to disk and then renamed over the
    target, so the previous file survives any failure untouched; its
    permissions are kept and a symbolic link is written through. A path to
    something else (a pipe, a device) is written into directly, and so is a
    file descriptor number, which is left open for its owner.
    """
    if isinstance(output_path, bool):
        raise TypeError(f"output_path must be a path or a file descriptor, not {type(output_path).__name__}")
    if isinstance(output_path, int):
        _write_direct(output_path, data, closefd=False)
        return
    if not isinstance(output_path, (str, bytes, os.PathLike)):
        _write_direct(output_path, data)
        return

    target = os.path.realpath(os.fsdecode(os.fspath(output_path)))
    try:
        st = os.stat(target)
    except FileNotFoundError:
        mode = None
    else:
        if not stat.S_ISREG(st.st_mode):
            _write_direct(output_path, data)
            return
        mode = stat.S_IMODE(st.st_mode)
    fd, tmp = _create_temporary(target, output_path)
    try:
        try:
            f = open(fd, "wb")
        except BaseException:
            os.close(fd)
            raise
        with f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        if mode is not None:
            os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    _fsync_directory(os.path.dirname(target))
