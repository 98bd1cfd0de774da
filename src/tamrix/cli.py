"""The ``tamrix`` command line: format, summarise, check and query IDF models.

    tamrix fmt FILE... [-o OUT | --in-place] [--compact] [--preserve-order] ...
    tamrix info FILE...
    tamrix check FILE... [--format text|json]
    tamrix refs FILE CLASS NAME
    tamrix rename FILE CLASS OLD NEW [-o OUT | --in-place]
    tamrix convert IN OUT

Models are IDF or epJSON files (told apart by their first character).
Each subcommand finds the dictionary of a model by itself (``--idd`` to choose
one), loads several files in parallel threads (``-j``) and runs on the
bundled example with ``--example``.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import difflib
import json
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from dataclasses import field as dc_field
from importlib import resources
from typing import Any, Callable, Iterator, NoReturn, Sequence, TextIO

from tamrix import __version__
from tamrix.check import Problem, check_model, rules_for
from tamrix.discovery import (
    IDD_PATH_VARIABLE,
    DiscoveryError,
    find_dictionary,
    is_epjson_file,
    major_minor,
    read_model_version,
)
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject
from tamrix.progress import Progress, isatty

PROG = "tamrix"
EXAMPLE_IDD_NAME = "example.idd"
EXAMPLE_IDF_NAME = "example.idf"
# Above this many files, a terminal gets a progress bar.
PROGRESS_MIN_FILES = 4

# Exit statuses: problems reported by `check`, and errors (bad arguments,
# unreadable or unparsable input).
EXIT_PROBLEMS = 1
EXIT_ERROR = 2


class CliError(Exception):
    """A failure explained in one line, printed as `tamrix: error: ...`."""


def _fail_line(message: str) -> str:
    return " ".join(str(message).split())


# --------------------------------------------------------------------------
# Output


def _write(stream: TextIO, text: str) -> None:
    """Writes text, escaping what the stream's encoding cannot hold rather
    than dying on it."""
    try:
        stream.write(text)
    except UnicodeEncodeError:
        encoding = getattr(stream, "encoding", None) or "ascii"
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))


def _write_model_text(text: str) -> None:
    """A model goes to standard output as UTF-8, as `save` writes it."""
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is None:
        _write(sys.stdout, text)
        return
    sys.stdout.flush()
    buffer.write(text.encode("utf-8", "surrogateescape"))
    buffer.flush()


def error(message: str) -> None:
    _write(sys.stderr, f"{PROG}: error: {_fail_line(message)}\n")
    sys.stderr.flush()


def warning(message: str) -> None:
    _write(sys.stderr, f"{PROG}: warning: {_fail_line(message)}\n")
    sys.stderr.flush()


# --------------------------------------------------------------------------
# Dictionaries: loading once per run


class Dictionary:
    """A loaded IDD, where it came from, and the rules derived from it."""

    def __init__(self, idd: IDD, path: str, load_seconds: float) -> None:
        self.idd = idd
        self.path = path
        self.load_seconds = load_seconds
        self.rules = rules_for(idd)


class DictionaryCache:
    """Dictionaries loaded in this run, by path; each is loaded once even
    when several threads ask for it at the same time."""

    def __init__(self) -> None:
        self._loaded: dict[str, Dictionary] = {}
        self._locks: dict[str, threading.Lock] = {}
        self._lock = threading.Lock()
        self._found: dict[tuple[int, int], str] = {}

    def get(self, path: str) -> tuple[Dictionary, bool]:
        """(dictionary, whether this call loaded it)."""
        key = os.path.realpath(path)
        with self._lock:
            lock = self._locks.setdefault(key, threading.Lock())
        with lock:
            if key in self._loaded:
                return self._loaded[key], False
            start = time.perf_counter()
            try:
                idd = IDD.from_file(path)
            except OSError as exc:
                raise CliError(f"cannot read dictionary {path}: {exc.strerror or exc}") from None
            except ValueError as exc:
                raise CliError(f"{path}: {exc}") from None
            loaded = Dictionary(idd, path, time.perf_counter() - start)
            self._loaded[key] = loaded
            return loaded, True

    def __reduce__(self) -> tuple[Any, ...]:
        # Sent to a Dask worker with a job: the dictionaries travel by
        # digest (registered with the cluster), not as loaded objects.
        with self._lock:
            known = {d.path: d.idd.digest for d in self._loaded.values()}
        return (_worker_cache, (known,))

    def for_model(self, model: str) -> str:
        """The dictionary path for a model with no --idd, by its Version."""
        try:
            version = read_model_version(model)
        except DiscoveryError as exc:
            raise CliError(str(exc)) from None
        if version is None:
            raise CliError(f"{model}: no Version object to choose a dictionary by; give --idd PATH")
        wanted = major_minor(version)
        with self._lock:
            if wanted is not None and wanted in self._found:
                return self._found[wanted]
        try:
            path = find_dictionary(version, model)
        except DiscoveryError as exc:
            raise CliError(str(exc)) from None
        with self._lock:
            if wanted is not None:
                self._found[wanted] = path
        return path


class _WorkerCache(DictionaryCache):
    """A worker's view of the client's dictionaries: each by the digest
    registered with the cluster, its rules derived once per process."""

    def __init__(self, digests: dict[str, str]) -> None:
        super().__init__()
        self._digests = digests

    def get(self, path: str) -> tuple[Dictionary, bool]:
        from tamrix.idd import _restore_IDD

        digest = self._digests.get(path) or _WORKER_DIGESTS.get(path)
        if digest is None:
            raise CliError(f"the dictionary {path} was not registered with the cluster")
        with _WORKER_LOCK:
            known = _WORKER_DICTIONARIES.get(digest)
            if known is not None:
                return known, False
            try:
                idd = _restore_IDD(IDD, path, digest, None)  # the registered one
            except (OSError, LookupError, ValueError) as exc:
                raise CliError(str(exc)) from None
            loaded = Dictionary(idd, path, 0.0)
            _WORKER_DICTIONARIES[digest] = loaded
            return loaded, True


_WORKER_LOCK = threading.Lock()
_WORKER_DICTIONARIES: dict[str, Dictionary] = {}
# Dictionary path -> digest, for the jobs this worker has been sent.
_WORKER_DIGESTS: dict[str, str] = {}


def _worker_cache(digests: dict[str, str]) -> DictionaryCache:
    return _WorkerCache(digests)


# --------------------------------------------------------------------------
# Jobs: one file each


@dataclass
class Job:
    path: str  # the file to read
    shown: str  # how messages name it
    idd_path: str | None  # a chosen dictionary, else found by version
    example: bool = False


@dataclass
class Loaded:
    model: IDF
    dictionary: Dictionary
    dictionary_loaded_here: bool
    load_seconds: float
    version: str | None


@dataclass
class Outcome:
    job: Job
    ok: bool = True
    message: str = ""
    data: Any = None
    warnings: list[str] = dc_field(default_factory=list)


def model_version(model: IDF) -> str | None:
    versions = model.get_objects("Version")
    if not versions:
        return None
    value = versions[0].get_values()
    return str(value[0]) if value and value[0] is not None else None


def job_dictionary(job: Job, cache: DictionaryCache) -> tuple[Dictionary, bool]:
    """The dictionary of a job's model (and whether this call loaded it),
    once the model file is known to be there."""
    if os.path.isdir(job.path):
        raise CliError(f"{job.shown} is a directory, not a model file")
    if not os.path.exists(job.path):
        raise CliError(f"{job.shown}: no such file")
    return cache.get(job.idd_path or cache.for_model(job.path))


def load(job: Job, cache: DictionaryCache, warnings: list[str]) -> Loaded:
    dictionary, loaded_here = job_dictionary(job, cache)
    start = time.perf_counter()
    try:
        model = IDF.from_file(dictionary.idd, job.path)
    except OSError as exc:
        raise CliError(f"cannot read {job.shown}: {exc.strerror or exc}") from None
    except (ValueError, UnicodeError) as exc:
        hint = ""
        with contextlib.suppress(DiscoveryError):
            version = read_model_version(job.path)
            if major_minor(version) not in (None, major_minor(dictionary.idd.version)):
                hint = f" (the model is version {version}, the dictionary {dictionary.path} is {dictionary.idd.version})"
        raise CliError(f"{job.shown}: {exc}{hint}") from None
    seconds = time.perf_counter() - start
    version = model_version(model)
    have, want = major_minor(version), major_minor(dictionary.idd.version)
    if have is not None and want is not None and have != want:
        warnings.append(
            f"{job.shown} is version {version} but the dictionary {dictionary.path} is version {dictionary.idd.version}"
        )
    return Loaded(model, dictionary, loaded_here, seconds, version)



def load_one(job: Job) -> Loaded:
    """Loads a single job's model, printing its warnings (also when the load
    fails)."""
    warnings: list[str] = []
    try:
        return load(job, DictionaryCache(), warnings)
    finally:
        for message in warnings:
            warning(message)


def run_jobs(
    jobs: Sequence[Job],
    work: Callable[[Job, list[str]], Any],
    emit: Callable[[Outcome], None],
    threads: int,
    dask: str | None = None,
    cache: DictionaryCache | None = None,
) -> list[Outcome]:
    """Runs `work` on every job (in `threads` threads, or on the Dask
    cluster at `dask`), then `emit` on each outcome in the order the files
    were given, with a progress bar on a terminal when there are many files."""
    progress = Progress(len(jobs), sys.stderr, len(jobs) >= PROGRESS_MIN_FILES and isatty(sys.stderr))
    if dask is not None:
        return _run_jobs_on_cluster(jobs, work, emit, dask, cache or DictionaryCache(), progress)

    def one(job: Job) -> Outcome:
        outcome = Outcome(job)
        try:
            outcome.data = work(job, outcome.warnings)
        except CliError as exc:
            outcome.ok = False
            outcome.message = str(exc)
        return outcome

    def report(outcome: Outcome) -> None:
        _report(outcome, emit, progress)

    outcomes: list[Outcome] = []
    try:
        if threads <= 1 or len(jobs) <= 1:
            for job in jobs:
                outcome = one(job)
                progress.advance()
                report(outcome)
                outcomes.append(outcome)
        else:
            with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="tamrix") as pool:
                futures = [pool.submit(one, job) for job in jobs]
                for future in futures:
                    future.add_done_callback(lambda _f: progress.advance())
                try:
                    for future in futures:
                        outcome = future.result()
                        report(outcome)
                        outcomes.append(outcome)
                except BaseException:
                    for future in futures:
                        future.cancel()
                    raise
    finally:
        progress.finish()
    return outcomes


def _report(outcome: Outcome, emit: Callable[[Outcome], None], progress: Progress) -> None:
    with progress.paused():
        for message in outcome.warnings:
            warning(message)
        if not outcome.ok:
            error(outcome.message)
        emit(outcome)


def _remote_job(work: Callable[[Job, list[str]], Any], job: Job, idd_path: str, digest: str, data: bytes) -> Outcome:
    """On a worker: runs `work` on the file's bytes, sent by the client, from
    a temporary copy read as the file itself would be."""
    import tempfile

    _WORKER_DIGESTS[idd_path] = digest
    outcome = Outcome(job)
    with tempfile.TemporaryDirectory(prefix="tamrix-") as folder:
        path = os.path.join(folder, os.path.basename(job.path) or "model.idf")
        with open(path, "wb") as f:
            f.write(data)
        try:
            outcome.data = work(dataclasses.replace(job, path=path, idd_path=idd_path), outcome.warnings)
        except CliError as exc:
            outcome.ok = False
            outcome.message = str(exc)
    return outcome


def _connect(address: str) -> Any:
    try:
        import tamrix.dask as tamrix_dask
        from distributed import Client
    except ImportError:
        raise CliError("--dask needs Dask: pip install 'tamrix[dask]'") from None
    if address == "local":
        return tamrix_dask.local_client()
    try:
        return Client(address, timeout=30)
    except (OSError, TimeoutError, ValueError) as exc:
        raise CliError(f"cannot connect to the Dask scheduler at {address!r}: {exc}") from None


def _run_jobs_on_cluster(
    jobs: Sequence[Job],
    work: Callable[[Job, list[str]], Any],
    emit: Callable[[Outcome], None],
    address: str,
    cache: DictionaryCache,
    progress: Progress,
) -> list[Outcome]:
    """The Dask path of run_jobs: files are read here and sent as bytes with
    their dictionary registered with the cluster, so the workers need no
    shared file system; outcomes are reported in the order of the files."""
    import tamrix.dask as tamrix_dask
    from distributed import as_completed

    results: list[Outcome | None] = [None] * len(jobs)
    sends: list[tuple[int, str, str, bytes]] = []
    for i, job in enumerate(jobs):
        outcome = Outcome(job)
        try:
            dictionary, _ = job_dictionary(job, cache)
            try:
                with open(job.path, "rb") as f:
                    data = f.read()
            except OSError as exc:
                raise CliError(f"cannot read {job.shown}: {exc.strerror or exc}") from None
            sends.append((i, dictionary.path, dictionary.idd.digest, data))
        except CliError as exc:
            outcome.ok = False
            outcome.message = str(exc)
            results[i] = outcome
    outcomes: list[Outcome] = []
    shown = 0

    def flush() -> None:
        nonlocal shown
        while shown < len(jobs) and results[shown] is not None:
            outcome = results[shown]
            assert outcome is not None
            _report(outcome, emit, progress)
            outcomes.append(outcome)
            shown += 1

    try:
        for i in range(len(jobs)):
            if results[i] is not None:
                progress.advance()
        flush()
        if sends:
            client = _connect(address)
            try:
                with cache._lock:
                    dictionaries = {d.idd.digest: d.idd for d in cache._loaded.values()}
                tamrix_dask.register(client, *dictionaries.values())
                futures = {
                    client.submit(_remote_job, work, jobs[i], idd_path, digest, data, pure=False): i
                    for i, idd_path, digest, data in sends
                }
                for future in as_completed(list(futures)):
                    i = futures[future]
                    try:
                        results[i] = future.result()
                    except Exception as exc:  # the worker died or the task could not run
                        failed = Outcome(jobs[i], ok=False, message=f"{jobs[i].shown}: on the cluster: {exc}")
                        results[i] = failed
                    progress.advance()
                    flush()
            finally:
                client.close()
        flush()
    finally:
        progress.finish()
    return outcomes


# --------------------------------------------------------------------------
# Subcommands


@contextlib.contextmanager
def example_paths() -> Iterator[tuple[str, str]]:
    """(dictionary, model) paths of the bundled example."""
    base = resources.files("tamrix").joinpath("examples")
    with resources.as_file(base.joinpath(EXAMPLE_IDD_NAME)) as idd, resources.as_file(
        base.joinpath(EXAMPLE_IDF_NAME)
    ) as idf:
        if not os.path.isfile(idd) or not os.path.isfile(idf):
            raise CliError(f"the bundled example is missing from {base}; reinstall tamrix")
        yield str(idd), str(idf)


def make_jobs(args: argparse.Namespace, stack: contextlib.ExitStack) -> list[Job]:
    jobs = [Job(path=f, shown=f, idd_path=args.idd) for f in args.files]
    if args.example:
        idd, idf = stack.enter_context(example_paths())
        jobs.insert(0, Job(path=idf, shown=idf, idd_path=args.idd or idd, example=True))
    if not jobs:
        raise CliError(f"no model given: name one or more FILEs, or use --example (see '{PROG} {args.command} --help')")
    return jobs


def thread_count(args: argparse.Namespace, files: int) -> int:
    wanted = args.jobs if args.jobs > 0 else min(os.cpu_count() or 1, 8)
    return max(1, min(wanted, files))


def exit_status(outcomes: Sequence[Outcome], problems: bool = False) -> int:
    if any(not o.ok for o in outcomes):
        return EXIT_ERROR
    return EXIT_PROBLEMS if problems else 0


@dataclass
class _Saved:
    """A model saved on a Dask worker: the bytes to write on the client."""

    data: bytes


def cmd_fmt(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as stack:
        jobs = make_jobs(args, stack)
        if args.output is not None and len(jobs) > 1:
            raise CliError(f"-o/--output takes one model, got {len(jobs)}; use --in-place to rewrite each file")
        if args.in_place and any(j.example for j in jobs):
            raise CliError("--in-place would rewrite the installed example; write a copy with -o OUT")
        cache = DictionaryCache()
        style: dict[str, Any] = {
            "field_size": args.field_size,
            "compact": args.compact,
            "preserve_order": args.preserve_order,
            "keep_comments": not args.strip_comments,
        }
        separate = len(jobs) > 1 and args.output is None and not args.in_place

        def work(job: Job, warnings: list[str]) -> str | None:
            loaded = load(job, cache, warnings)
            target = job.path if args.in_place else args.output
            if target is None:
                return loaded.model.format(**style) + "\n"
            if args.dask:
                # On a worker, whose job.path is a private temporary copy:
                # the file is written back on the client.
                target = os.path.join(os.path.dirname(job.path), "saved.idf")
            # In place, a model keeps its format (IDF or epJSON); -o OUT
            # takes OUT's (by its suffix, also on a worker, which writes a
            # file of its own first).
            if args.in_place:
                file_format = "epjson" if is_epjson_file(job.path) else "idf"
            else:
                file_format = "epjson" if str(args.output).lower().endswith(".epjson") else "idf"
            try:
                loaded.model.save(
                    target,
                    include_timestamp=not args.no_timestamp,
                    encoding=args.encoding,
                    file_format=file_format,
                    **style,
                )
            except OSError as exc:
                raise CliError(f"cannot write {target}: {exc.strerror or exc}") from None
            except (UnicodeEncodeError, LookupError, ValueError) as exc:
                raise CliError(f"cannot write {target}: {exc}") from None
            if args.dask:
                with open(target, "rb") as f:
                    return _Saved(f.read())
            return None

        def emit(outcome: Outcome) -> None:
            if outcome.ok and isinstance(outcome.data, _Saved):
                from tamrix._fileio import write_file

                target = outcome.job.path if args.in_place else args.output
                try:
                    write_file(target, outcome.data.data)
                except OSError as exc:
                    error(f"cannot write {target}: {exc.strerror or exc}")
                    outcome.ok = False
                return
            if outcome.ok and outcome.data is not None:
                if separate:
                    _write_model_text(f"! ==> {outcome.job.shown} <==\n")
                _write_model_text(outcome.data)

        return exit_status(run_jobs(jobs, work, emit, thread_count(args, len(jobs)), args.dask, cache))


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def cmd_info(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as stack:
        jobs = make_jobs(args, stack)
        cache = DictionaryCache()
        records: list[dict[str, Any]] = []

        def work(job: Job, warnings: list[str]) -> dict[str, Any]:
            loaded = load(job, cache, warnings)
            order = loaded.dictionary.rules.class_order()
            counts = sorted(
                (order.get(name.upper(), len(order)), name, len(loaded.model.get_objects(name)))
                for name in loaded.model.get_class_names()
            )
            return {
                "file": job.shown,
                "version": loaded.version,
                "dictionary": {
                    "version": loaded.dictionary.idd.version,
                    "path": loaded.dictionary.path,
                    "classes": len(loaded.dictionary.idd),
                    "load_seconds": loaded.dictionary.load_seconds if loaded.dictionary_loaded_here else None,
                },
                "objects": sum(count for _, _, count in counts),
                "classes": {name: count for _, name, count in counts},
                "load_seconds": loaded.load_seconds,
            }

        def emit(outcome: Outcome) -> None:
            if not outcome.ok:
                return
            info = outcome.data
            if args.format == "json":
                records.append(info)
                return
            d = info["dictionary"]
            dict_time = f", loaded in {_ms(d['load_seconds'])}" if d["load_seconds"] is not None else ""
            lines = [
                info["file"],
                f"  version     {info['version'] or '(no Version object)'}",
                f"  dictionary  {d['version'] or '(no version)'}, {d['classes']} classes: {d['path']}{dict_time}",
                f"  objects     {info['objects']} in {len(info['classes'])} classes, "
                f"loaded in {_ms(info['load_seconds'])}",
            ]
            width = max((len(str(c)) for c in info["classes"].values()), default=1)
            lines += [f"    {count:>{width}}  {name}" for name, count in info["classes"].items()]
            _write(sys.stdout, "\n".join(lines) + "\n")

        outcomes = run_jobs(jobs, work, emit, thread_count(args, len(jobs)), args.dask, cache)
        if args.format == "json":
            _write(sys.stdout, json.dumps(records, indent=2, ensure_ascii=False) + "\n")
        return exit_status(outcomes)


def problem_line(file: str, problem: Problem) -> str:
    """`file:line: Class "name", Field: message [kind]` (no `:line` when
    the model cannot tell where the value stands)."""
    where = _describe(problem.class_name, problem.object_name)
    if problem.field_name is not None:
        where += f", {problem.field_name}"
    at = file if problem.line is None else f"{file}:{problem.line}"
    return f"{at}: {where}: {problem.message} [{problem.kind}]"


def problem_record(file: str, problem: Problem) -> dict[str, Any]:
    """A problem for JSON: its file, then every attribute."""
    return {"file": file, **{f.name: getattr(problem, f.name) for f in dataclasses.fields(Problem)}}


def cmd_check(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as stack:
        jobs = make_jobs(args, stack)
        cache = DictionaryCache()
        found: list[tuple[str, Problem]] = []

        def work(job: Job, warnings: list[str]) -> list[Problem]:
            return check_model(load(job, cache, warnings).model)

        def emit(outcome: Outcome) -> None:
            if not outcome.ok:
                return
            shown = outcome.job.shown
            found.extend((shown, p) for p in outcome.data)
            if args.format == "text" and outcome.data:
                _write(sys.stdout, "".join(problem_line(shown, p) + "\n" for p in outcome.data))

        outcomes = run_jobs(jobs, work, emit, thread_count(args, len(jobs)), args.dask, cache)
        if args.format == "json":
            records = [problem_record(shown, p) for shown, p in found]
            _write(sys.stdout, json.dumps(records, indent=2, ensure_ascii=False) + "\n")
        else:
            checked = sum(1 for o in outcomes if o.ok)
            files = f"{checked} file{'s' if checked != 1 else ''}"
            if found:
                with_problems = len({shown for shown, _ in found})
                summary = f"{len(found)} problem{'s' if len(found) != 1 else ''} in {with_problems} of {files}"
            else:
                summary = f"no problems in {files}"
            failed = len(outcomes) - checked
            if failed:
                summary += f"; {failed} file{'s' if failed != 1 else ''} could not be checked"
            if checked:
                sys.stdout.flush()
                _write(sys.stderr, f"{PROG} check: {summary}\n")
        return exit_status(outcomes, problems=bool(found))


def _describe(class_name: str, name: str | None) -> str:
    return class_name if name is None else f'{class_name} "{name}"'


def find_object(model: IDF, dictionary: Dictionary, class_name: str, name: str, shown: str) -> IDFObject:
    if class_name not in dictionary.idd:
        classes = {c.lower(): c for c in dictionary.idd.class_names()}
        close = [classes[c] for c in difflib.get_close_matches(class_name.lower(), list(classes), n=3, cutoff=0.6)]
        hint = f"; did you mean {' or '.join(close)}?" if close else ""
        raise CliError(f"unknown class {class_name!r} (not in dictionary {dictionary.path}){hint}")
    obj = model.get_object_by_name(class_name, name)
    if obj is None:
        objects = model.get_objects(class_name)
        if not objects:
            raise CliError(f"{shown} has no {class_name} objects")
        names = {str(values[0]).lower(): str(values[0]) for values in (o.get_values() for o in objects) if values}
        close = [names[c] for c in difflib.get_close_matches(name.lower(), list(names), n=3, cutoff=0.6)]
        hint = f"; did you mean {' or '.join(repr(c) for c in close)}?" if close else ""
        raise CliError(f"{shown} has no {class_name} named {name!r}{hint}")
    return obj


def object_refs(obj: IDFObject, dictionary: Dictionary) -> dict[str, Any]:
    """Who refers to an object (through the fields of it that define names)
    and what its object-list fields refer to."""
    rules = dictionary.rules.for_class(obj.class_name)
    values = obj.get_values()
    declared = rules.declared
    referenced_by: list[dict[str, Any]] = []
    refers_to: list[dict[str, Any]] = []
    seen: set[tuple[int, int]] = set()
    for index, value in enumerate(values):
        rule = rules.rule(index)
        if rule is None or value is None or value == "":
            continue
        key: int | str = index if index < declared else rules.field_name(index)
        if rule.references:
            try:
                referers: Sequence[IDFObject] = obj.get_referencing_objects(key)
            except (KeyError, IndexError):
                referers = ()
            wanted = str(value).upper()
            lists = set(rule.references)
            for other in referers:
                other_rules = dictionary.rules.for_class(other.class_name)
                other_values = other.get_values()
                for j, other_value in enumerate(other_values):
                    other_rule = other_rules.rule(j)
                    if (
                        other_rule is None
                        or not lists.intersection(other_rule.object_lists)
                        or str(other_value).upper() != wanted
                        or (id(other), j) in seen
                    ):
                        continue
                    seen.add((id(other), j))
                    referenced_by.append(
                        {
                            "class": other.class_name,
                            "name": other_rules.object_name(other_values),
                            "field": other_rules.field_name(j),
                        }
                    )
        if rule.object_lists:
            try:
                target = obj.get_referenced_object(key)
            except (KeyError, IndexError):
                target = None
            entry: dict[str, Any] = {"field": rules.field_name(index), "value": str(value)}
            if target is not None:
                target_rules = dictionary.rules.for_class(target.class_name)
                entry.update({"class": target.class_name, "name": target_rules.object_name(target.get_values())})
            elif not {n.upper() for n in rule.object_lists} & dictionary.rules.reference_lists():
                continue  # a class or node name, not an object's
            else:
                entry.update({"class": None, "name": None})
            refers_to.append(entry)
    return {"referenced_by": referenced_by, "refers_to": refers_to}


def cmd_refs(args: argparse.Namespace) -> int:
    expected = 2 if args.example else 3
    if len(args.files) != expected:
        usage = "CLASS NAME with --example" if args.example else "FILE CLASS NAME"
        raise CliError(f"refs takes {usage}, got {len(args.files)} argument{'s' if len(args.files) != 1 else ''}")
    class_name, name = args.files[-2:]
    args.files = args.files[:-2]
    with contextlib.ExitStack() as stack:
        job = make_jobs(args, stack)[0]
        loaded = load_one(job)
        obj = find_object(loaded.model, loaded.dictionary, class_name, name, job.shown)
        refs = object_refs(obj, loaded.dictionary)
        own_name = loaded.dictionary.rules.for_class(obj.class_name).object_name(obj.get_values())
        if args.format == "json":
            record = {"file": job.shown, "class": obj.class_name, "name": own_name, **refs}
            _write(sys.stdout, json.dumps(record, indent=2, ensure_ascii=False) + "\n")
            return 0
        lines = [f"{_describe(obj.class_name, own_name)} in {job.shown}"]
        by = refs["referenced_by"]
        lines.append(f"  referred to by {len(by)} field{'s' if len(by) != 1 else ''}" + (":" if by else ""))
        width = max((len(_describe(r["class"], r["name"])) for r in by), default=0)
        lines += [f"    {_describe(r['class'], r['name']):<{width}}  ({r['field']})" for r in by]
        to = refs["refers_to"]
        lines.append(f"  refers to {len(to)} object{'s' if len(to) != 1 else ''}" + (":" if to else ""))
        width = max((len(r["field"]) for r in to), default=0)
        for r in to:
            target = _describe(r["class"], r["name"]) if r["class"] else f'"{r["value"]}" (no such object)'
            lines.append(f"    {r['field']:<{width}}  -> {target}")
        _write(sys.stdout, "\n".join(lines) + "\n")
        return 0


def _write_model_original(model: IDF, epjson: bool = False) -> None:
    """The model to standard output in its original layout and encoding
    (as epJSON when it was read from epJSON)."""
    if epjson:
        _write_model_text(model.to_epjson() + "\n")
        return
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        _write_model_text(model.format(original_layout=True))
        return
    sys.stdout.flush()
    model.save(fd, original_layout=True)


def cmd_rename(args: argparse.Namespace) -> int:
    expected = 3 if args.example else 4
    if len(args.files) != expected:
        usage = "CLASS OLD NEW with --example" if args.example else "FILE CLASS OLD NEW"
        raise CliError(f"rename takes {usage}, got {len(args.files)} argument{'s' if len(args.files) != 1 else ''}")
    class_name, old, new = args.files[-3:]
    args.files = args.files[:-3]
    with contextlib.ExitStack() as stack:
        job = make_jobs(args, stack)[0]
        if args.in_place and job.example:
            raise CliError("--in-place would rewrite the installed example; write a copy with -o OUT")
        loaded = load_one(job)
        try:
            obj = find_object(loaded.model, loaded.dictionary, class_name, old, job.shown)
        except CliError as exc:
            if class_name not in loaded.dictionary.idd:
                raise
            sys.stdout.flush()
            error(str(exc))
            return EXIT_PROBLEMS
        before = _describe(obj.class_name, str(obj.get_values()[0]))
        try:
            count = obj.rename(new)
        except ValueError as exc:
            raise CliError(str(exc)) from None
        target = job.path if args.in_place else args.output
        # epJSON in, epJSON back in place or on standard output; -o OUT
        # writes in OUT's format (by its suffix).
        epjson_in = is_epjson_file(job.path)
        if target is None:
            try:
                _write_model_original(loaded.model, epjson_in)
            except ValueError as exc:
                raise CliError(str(exc)) from None
            report = sys.stderr
        else:
            file_format = "epjson" if args.in_place and epjson_in else None
            try:
                loaded.model.save(target, original_layout=True, file_format=file_format)
            except OSError as exc:
                raise CliError(f"cannot write {target}: {exc.strerror or exc}") from None
            except ValueError as exc:
                raise CliError(f"cannot write {target}: {exc}") from None
            report = sys.stdout
        after = obj.get_values()[0]
        _write(report, f'{before} is now "{after}"; {count} field{"s" if count != 1 else ""} naming it changed\n')
        return 0


def cmd_convert(args: argparse.Namespace) -> int:
    """Writes IN to OUT in OUT's format: epJSON when OUT ends in .epJSON (any
    case), IDF in the standard layout otherwise."""
    source, target = args.source, args.target
    job = Job(path=source, shown=source, idd_path=args.idd)
    loaded = load_one(job)
    epjson_out = target.lower().endswith(".epjson")
    try:
        loaded.model.save(target, include_timestamp=not args.no_timestamp)
    except OSError as exc:
        raise CliError(f"cannot write {target}: {exc.strerror or exc}") from None
    except (ValueError, UnicodeEncodeError) as exc:
        raise CliError(f"cannot write {target}: {exc}") from None
    objects = sum(len(loaded.model.get_objects(name)) for name in loaded.model.get_class_names())
    kind = "epJSON" if epjson_out else "IDF"
    _write(sys.stdout, f"{source} -> {target}: {objects} object{'s' if objects != 1 else ''} written as {kind}\n")
    return 0


# --------------------------------------------------------------------------
# Arguments


class ArgumentParser(argparse.ArgumentParser):
    """argparse with its errors on one line: `tamrix: error: ...`."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_ERROR, f"{PROG}: error: {_fail_line(message)} (see '{self.prog} --help')\n")


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def build_parser() -> ArgumentParser:
    common = ArgumentParser(add_help=False)
    common.add_argument(
        "--idd",
        metavar="PATH",
        help="the dictionary to read the models with (default: found by each model's Version, in the "
        f"engine's install folders and the directories of ${IDD_PATH_VARIABLE})",
    )
    common.add_argument(
        "--example", action="store_true", help="also run on the bundled example model (with its own dictionary)"
    )
    common.add_argument(
        "-j",
        "--jobs",
        type=_non_negative,
        default=0,
        metavar="N",
        help="load up to N files at once in threads (default: the number of processors, at most 8)",
    )
    cluster = ArgumentParser(add_help=False)
    cluster.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="run the per-file work on the Dask cluster whose scheduler is at ADDRESS ('local': start one "
        "worker process per core on this machine); files are read here and sent to the workers "
        "(needs tamrix[dask])",
    )

    parser = ArgumentParser(
        prog=PROG,
        description="Format, summarise, check, query, rename in and convert IDF and epJSON building-simulation "
        "models.",
        epilog=f"Run '{PROG} COMMAND --help' for the options of a command. Exit status: 0 on success, "
        f"{EXIT_PROBLEMS} when check reports problems or rename finds no such object, {EXIT_ERROR} on bad arguments "
        "or unreadable input.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=ArgumentParser)
    sub.required = True

    fmt = sub.add_parser(
        "fmt",
        parents=[common, cluster],
        help="write models back in the standard layout",
        description="Write models back in the standard layout: classes in dictionary order under group "
        "headers, one field a line with its name as a comment. Prints to standard output unless -o or "
        "--in-place is given; formatting a formatted file changes nothing.",
    )
    fmt.add_argument("files", nargs="*", metavar="FILE", help="model files (IDF or epJSON)")
    target = fmt.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="OUT", help="write the (single) model to OUT")
    target.add_argument("--in-place", action="store_true", help="rewrite each file (atomically)")
    fmt.add_argument("--compact", action="store_true", help="one object a line, no comments")
    fmt.add_argument("--preserve-order", action="store_true", help="keep the objects in the order they were read")
    fmt.add_argument(
        "--field-size", type=_non_negative, default=24, metavar="N", help="pad values to N characters (default: 24)"
    )
    fmt.add_argument("--no-timestamp", action="store_true", help="leave the 'Saved at' time stamp out of written files")
    fmt.add_argument("--strip-comments", action="store_true", help="drop the comments written in the source")
    fmt.add_argument(
        "--encoding", metavar="NAME", help="encoding of written files: utf-8 (default), cp1252, latin-1, ..."
    )
    fmt.set_defaults(handler=cmd_fmt)

    info = sub.add_parser(
        "info",
        parents=[common, cluster],
        help="version, object counts and load time of models",
        description="Show each model's version, its dictionary, how many objects of each class it holds "
        "and how long it took to load.",
    )
    info.add_argument("files", nargs="*", metavar="FILE", help="model files (IDF or epJSON)")
    info.add_argument("--format", choices=("text", "json"), default="text", help="output format (default: text)")
    info.set_defaults(handler=cmd_info)

    check = sub.add_parser(
        "check",
        parents=[common, cluster],
        help="report broken references and invalid values",
        description="Report, one line each and with the line of the file where the value stands: references "
        "that name no object, choice values that are not among the field's keys, numeric fields that hold no "
        "plain decimal number (hexadecimal, inf and nan included), blank required fields, values out of "
        "range, objects with more fields than their class has, duplicate names, and unique objects given "
        "twice. Values starting with '=' (parametric expressions) are not checked. "
        f"Exit status {EXIT_PROBLEMS} when anything is reported.",
    )
    check.add_argument("files", nargs="*", metavar="FILE", help="model files (IDF or epJSON)")
    check.add_argument(
        "--format",
        choices=("text", "json"),
        default="text",
        help="text lines (file:line: class \"name\", field: message [kind]), or a JSON list of {file, kind, "
        "class_name, object_name, field_name, field_index, value, line, message} (default: text)",
    )
    check.set_defaults(handler=cmd_check)

    refs = sub.add_parser(
        "refs",
        parents=[common],
        help="what refers to an object, and what it refers to",
        usage=f"{PROG} refs [-h] [--idd PATH] [--example] [--format {{text,json}}] FILE CLASS NAME",
        description="List the objects whose fields name the given object, and the objects its own "
        "fields name. With --example, give only CLASS NAME.",
    )
    refs.add_argument("files", nargs="+", metavar="FILE CLASS NAME", help="the model, the object's class and name")
    refs.add_argument("--format", choices=("text", "json"), default="text", help="output format (default: text)")
    refs.set_defaults(handler=cmd_refs)

    rename = sub.add_parser(
        "rename",
        parents=[common],
        help="rename an object and every field that names it",
        usage=f"{PROG} rename [-h] [--idd PATH] [--example] [-o OUT | --in-place] FILE CLASS OLD NEW",
        description="Give the object of CLASS named OLD the name NEW, and change every field of the model "
        "that refers to it through one of its reference lists. The model is written back as it was read, "
        "so only the lines that named OLD change. Prints to standard output unless -o or --in-place is "
        f"given. Exit status {EXIT_PROBLEMS} when no object of CLASS is named OLD. With --example, give only "
        "CLASS OLD NEW.",
    )
    rename.add_argument("files", nargs="+", metavar="FILE CLASS OLD NEW",
                        help="the model, the object's class, its name and the new name")
    rename_target = rename.add_mutually_exclusive_group()
    rename_target.add_argument("-o", "--output", metavar="OUT", help="write the renamed model to OUT")
    rename_target.add_argument("--in-place", action="store_true", help="rewrite the file (atomically)")
    rename.set_defaults(handler=cmd_rename)

    convert = sub.add_parser(
        "convert",
        help="convert a model between IDF and epJSON",
        usage=f"{PROG} convert [-h] [--idd PATH] [--no-timestamp] IN OUT",
        description="Read the model IN (IDF or epJSON) and write it to OUT in OUT's format: epJSON when OUT "
        "ends in .epJSON (any letter case), as the engine converts it; IDF in the standard layout otherwise. "
        "What epJSON cannot hold (two objects of a class with one name, values the dictionary gives no "
        "name) is refused, not dropped.",
    )
    convert.add_argument(
        "--idd",
        metavar="PATH",
        help="the dictionary to read the model with (default: found by its Version, in the engine's install "
        f"folders and the directories of ${IDD_PATH_VARIABLE})",
    )
    convert.add_argument("--no-timestamp", action="store_true", help="leave the 'Saved at' time stamp out of IDF output")
    convert.add_argument("source", metavar="IN", help="the model to read (IDF or epJSON)")
    convert.add_argument("target", metavar="OUT", help="the file to write (.epJSON: epJSON; else IDF)")
    convert.set_defaults(handler=cmd_convert)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        return int(args.handler(args))
    except CliError as exc:
        sys.stdout.flush()
        error(str(exc))
        return EXIT_ERROR
    except KeyboardInterrupt:
        _write(sys.stderr, f"\n{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (`tamrix fmt x.idf | head`): stop quietly.
        with contextlib.suppress(Exception):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return EXIT_PROBLEMS


if __name__ == "__main__":
    sys.exit(main())
