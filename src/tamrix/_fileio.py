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


def write_file(output_path, data: bytes) -> None:
    """Write ``data`` to ``output_path`` in one piece.

    A file system path gets the bytes in a temporary file beside it, flushed
    to disk and then renamed over the target, so the previous file survives
    any failure untouched. Other targets that ``open`` accepts (a file
    descriptor number) are written directly.
    """
    if isinstance(output_path, int) or not isinstance(output_path, (str, bytes, os.PathLike)):
        with open(output_path, "wb") as f:
            f.write(data)
        return

    target = os.path.realpath(os.fsdecode(os.fspath(output_path)))
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = None
    fd, tmp = _create_temporary(target, output_path)
    try:
        with open(fd, "wb") as f:
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
