"""The ``tamrix`` command line: format, summarise, check and query IDF models.

    tamrix fmt FILE... [-o OUT | --in-place] [--compact] [--preserve-order] ...
    tamrix info FILE...
    tamrix check FILE... [--format text|json]
    tamrix refs FILE CLASS NAME

Each subcommand finds the dictionary of a model by itself (``--idd`` to choose
one), loads several files in parallel threads (``-j``) and runs on the
bundled example with ``--example``.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import glob
import json
import math
import os
import re
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from dataclasses import field as dc_field
from importlib import resources
from typing import TYPE_CHECKING, Any, Callable, Iterator, NoReturn, Sequence, TextIO

from tamrix import __version__
from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject

if TYPE_CHECKING:
    from tamrix.idd import ClassInfo, FieldInfo

PROG = "tamrix"
EXAMPLE_IDD_NAME = "example.idd"
EXAMPLE_IDF_NAME = "example.idf"
IDD_PATH_VARIABLE = "TAMRIX_IDD_PATH"
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


class Progress:
    """A one-line textual progress bar on a terminal's standard error."""

    def __init__(self, total: int, stream: TextIO, enabled: bool, width: int = 30) -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled
        self.width = width
        self.done = 0
        self._lock = threading.RLock()
        self._shown = False

    def advance(self) -> None:
        with self._lock:
            self.done += 1
            self._draw()

    def _draw(self) -> None:
        if not self.enabled:
            return
        filled = self.width * self.done // max(self.total, 1)
        bar = "#" * filled + "." * (self.width - filled)
        self.stream.write(f"\r[{bar}] {self.done}/{self.total} files")
        self.stream.flush()
        self._shown = True

    def _clear(self) -> None:
        if self.enabled and self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._shown = False

    @contextlib.contextmanager
    def paused(self) -> Iterator[None]:
        """Takes the bar off the line while something else is printed."""
        with self._lock:
            self._clear()
            try:
                yield
            finally:
                if self.done < self.total:
                    self._draw()

    def finish(self) -> None:
        with self._lock:
            self._clear()


# --------------------------------------------------------------------------
# Dictionaries: discovery, loading, per-class rules


_VERSION_OBJECT = re.compile(r"(?:^|;)\s*version\s*,\s*([^,;]*)", re.IGNORECASE)
_VERSION_NUMBER = re.compile(r"\s*(\d+)(?:\.(\d+))?")
_IDD_FIRST_LINE = re.compile(rb"^\s*!\s*IDD_Version\s+(\d+)(?:\.(\d+))?", re.IGNORECASE)
_IDD_FILE_NAME = re.compile(r"^V?(\d+)-(\d+)(?:-\d+)*-Energy\+\.idd$", re.IGNORECASE)


def read_model_version(path: str) -> str | None:
    """The text of the first field of a model's Version object, found by a
    cheap scan of the comment-stripped text; None when there is none."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    text = re.sub(r"![^\n]*", "", data.decode("latin-1"))
    match = _VERSION_OBJECT.search(text)
    if match is None:
        return None
    value = match.group(1).strip()
    return value or None


def major_minor(version: str | None) -> tuple[int, int] | None:
    """(major, minor) of "8.8", "8.8.0" or "8.1.0.009"; None when unreadable."""
    if not version:
        return None
    match = _VERSION_NUMBER.match(version)
    if match is None:
        return None
    return int(match.group(1)), int(match.group(2) or 0)


def idd_file_version(path: str) -> tuple[int, int] | None:
    """(major, minor) from an IDD file's `!IDD_Version` first line."""
    try:
        with open(path, "rb") as f:
            first = f.readline(512)
    except OSError:
        return None
    match = _IDD_FIRST_LINE.match(first)
    if match is None:
        return None
    return int(match.group(1)), int(match.group(2) or 0)


def _matches(path: str, wanted: tuple[int, int]) -> bool:
    """A candidate dictionary file fits: its first line says the wanted
    major.minor, or, lacking that line, its name does."""
    if not os.path.isfile(path):
        return False
    found = idd_file_version(path)
    if found is not None:
        return found == wanted
    name = _IDD_FILE_NAME.match(os.path.basename(path))
    return name is not None and (int(name.group(1)), int(name.group(2))) == wanted


def _install_patterns(major: int, minor: int) -> list[str]:
    """The engine's usual install folders for a version, as glob patterns."""
    if os.name == "nt":
        drive = os.environ.get("SystemDrive", "C:")
        return [f"{drive}\\EnergyPlusV{major}-{minor}-*\\Energy+.idd"]
    return [
        f"/usr/local/EnergyPlus-{major}-{minor}-*/Energy+.idd",
        f"/Applications/EnergyPlus-{major}-{minor}-*/Energy+.idd",
    ]


def _search_dir_candidates(directory: str, major: int, minor: int) -> list[str]:
    """Dictionary files of a search-path directory, best names first."""
    try:
        names = sorted(os.listdir(directory))
    except OSError:
        return []
    idds = [n for n in names if n.lower().endswith(".idd")]

    def rank(name: str) -> int:
        m = _IDD_FILE_NAME.match(name)
        if m is not None and (int(m.group(1)), int(m.group(2))) == (major, minor):
            return 0
        if name.lower() == "energy+.idd":
            return 1
        return 2

    return [os.path.join(directory, n) for n in sorted(idds, key=rank)]


def find_dictionary(version: str, model: str) -> str:
    """The path of a dictionary for a model's version, or CliError listing
    every place that was tried."""
    wanted = major_minor(version)
    if wanted is None:
        raise CliError(f"{model}: cannot read the version {version!r} of its Version object; give --idd PATH")
    major, minor = wanted
    tried: list[str] = []
    for pattern in _install_patterns(major, minor):
        tried.append(pattern)
        for path in sorted(glob.glob(pattern), reverse=True):
            if _matches(path, wanted):
                return path
    search = os.environ.get(IDD_PATH_VARIABLE, "")
    directories = [d for d in search.split(os.pathsep) if d]
    for directory in directories:
        tried.append(os.path.join(directory, "*.idd"))
        for path in _search_dir_candidates(directory, major, minor):
            if _matches(path, wanted):
                return path
    if not directories:
        tried.append(f"${IDD_PATH_VARIABLE} (not set)")
    raise CliError(
        f"{model}: no dictionary found for version {major}.{minor} (tried {', '.join(tried)}); give --idd PATH"
    )


@dataclass
class FieldRule:
    """What `check` verifies of one field definition."""

    name: str
    numeric: bool
    integer: bool
    choices: frozenset[str] | None
    choice_text: str
    object_lists: tuple[str, ...]
    references: tuple[str, ...]
    required: bool
    has_default: bool  # a blank takes the default: nothing is missing
    autosizable: bool
    autocalculatable: bool
    minimum: float | None
    minimum_exclusive: bool
    maximum: float | None
    maximum_exclusive: bool


class ClassRules:
    """A class's definition as `check` and `refs` use it; the rule of a
    field is built the first time a model has a value there."""

    def __init__(self, info: ClassInfo) -> None:
        self.name: str = info["name"]
        self.unique: bool = info["unique_object"]
        self._infos: list[FieldInfo] = info["fields"]
        self._built: list[FieldRule | None] = [None] * len(self._infos)
        self.declared = len(self._infos)
        ext = info["extensible"]
        self.extensible: tuple[int, int] | None = (
            (ext["begin"], ext["size"]) if ext and ext["size"] > 0 and self._infos else None
        )
        first = self._infos[0] if self._infos else None
        # The first field names the object: a text field called "... Name"
        # or one that other objects refer to.
        self.names_objects = first is not None and first["code"][:1].upper() == "A" and (
            "name" in first["name"].lower() or bool(first["references"])
        )

    def _definition(self, index: int) -> int | None:
        """The declared field whose definition applies at `index`."""
        if index < self.declared:
            return index
        if self.extensible is None:
            return None
        begin, size = self.extensible
        return begin + (index - begin) % size

    def rule(self, index: int) -> FieldRule | None:
        at = self._definition(index)
        if at is None:
            return None
        built = self._built[at]
        if built is None:
            built = self._built[at] = _field_rule(self._infos[at])
        return built

    def field_name(self, index: int) -> str:
        """The field's name; past the declared fields, the name of its
        group's first member with the group number counted on."""
        at = self._definition(index)
        if at is None:
            return f"field {index + 1}"
        base = self._infos[at]["name"] or self._infos[at]["code"]
        if at == index or self.extensible is None:
            return base or f"field {index + 1}"
        digits = re.search(r"\d+", base)
        if digits is None:
            return base or f"field {index + 1}"
        begin, size = self.extensible
        number = int(digits.group()) + (index - begin) // size
        return f"{base[: digits.start()]}{number}{base[digits.end():]}"


def _field_rule(info: FieldInfo) -> FieldRule:
    kind = info["type"]
    numeric = kind in ("integer", "real") or (kind == "" and info["code"][:1].upper() == "N")
    choices = None
    if kind == "choice" and info["choices"]:
        choices = frozenset(c.upper() for c in info["choices"])
    shown = info["choices"][:8]
    choice_text = ", ".join(shown) + (", ..." if len(info["choices"]) > 8 else "")
    return FieldRule(
        name=info["name"] or info["code"],
        numeric=numeric,
        integer=kind == "integer",
        choices=choices,
        choice_text=choice_text,
        object_lists=tuple(info["object_lists"]),
        references=tuple(info["references"]),
        required=info["required"],
        has_default=info["default"] != "",
        autosizable=info["autosizable"],
        autocalculatable=info["autocalculatable"],
        minimum=info["minimum"],
        minimum_exclusive=info["minimum_exclusive"],
        maximum=info["maximum"],
        maximum_exclusive=info["maximum_exclusive"],
    )


_REFERENCE_TAG = re.compile(rb"\\reference(?![-\w])[ \t]*([^\r\n]*)", re.IGNORECASE)


class Dictionary:
    """A loaded IDD with what the subcommands derive from it, computed once
    per dictionary and shared by the threads."""

    def __init__(self, idd: IDD, path: str, load_seconds: float) -> None:
        self.idd = idd
        self.path = path
        self.load_seconds = load_seconds
        self._rules: dict[str, ClassRules] = {}
        self._order: dict[str, int] | None = None
        self._reference_lists: frozenset[str] | None = None
        self._lock = threading.Lock()

    def rules(self, class_name: str) -> ClassRules:
        key = class_name.upper()
        found = self._rules.get(key)
        if found is None:
            found = ClassRules(self.idd.class_info(class_name))
            self._rules[key] = found
        return found

    def class_order(self) -> dict[str, int]:
        if self._order is None:
            self._order = {name.upper(): i for i, name in enumerate(self.idd.class_names())}
        return self._order

    def reference_lists(self) -> frozenset[str]:
        """Every list name (upper-cased) that some field of the dictionary
        declares with \\reference: the lists that really hold object names."""
        with self._lock:
            if self._reference_lists is None:
                self._reference_lists = self._scan_reference_lists()
            return self._reference_lists

    def _scan_reference_lists(self) -> frozenset[str]:
        text = None
        if self.idd.path:
            try:
                with open(self.idd.path, "rb") as f:
                    text = f.read()
            except OSError:
                text = None
        if text is None:
            lists: set[str] = set()
            for class_name in self.idd.class_names():
                for definition in self.idd.class_info(class_name)["fields"]:
                    lists.update(list_name.upper() for list_name in definition["references"])
            return frozenset(lists)
        # A tag counts only before any `!` on its line (the header comment
        # block names every tag).
        found: set[str] = set()
        for match in _REFERENCE_TAG.finditer(text):
            line_start = text.rfind(b"\n", 0, match.start()) + 1
            if b"!" in text[line_start : match.start()]:
                continue
            value = match.group(1).split(b"!", 1)[0].strip()
            if value:
                found.add(value.decode("utf-8", "replace").upper())
        return frozenset(found)


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

    def for_model(self, model: str) -> str:
        """The dictionary path for a model with no --idd, by its Version."""
        version = read_model_version(model)
        if version is None:
            raise CliError(f"{model}: no Version object to choose a dictionary by; give --idd PATH")
        wanted = major_minor(version)
        with self._lock:
            if wanted is not None and wanted in self._found:
                return self._found[wanted]
        path = find_dictionary(version, model)
        with self._lock:
            if wanted is not None:
                self._found[wanted] = path
        return path


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


def load(job: Job, cache: DictionaryCache, warnings: list[str]) -> Loaded:
    if os.path.isdir(job.path):
        raise CliError(f"{job.shown} is a directory, not a model file")
    if not os.path.exists(job.path):
        raise CliError(f"{job.shown}: no such file")
    idd_path = job.idd_path or cache.for_model(job.path)
    dictionary, loaded_here = cache.get(idd_path)
    start = time.perf_counter()
    try:
        model = IDF.from_file(dictionary.idd, job.path)
    except OSError as exc:
        raise CliError(f"cannot read {job.shown}: {exc.strerror or exc}") from None
    except (ValueError, UnicodeError) as exc:
        hint = ""
        with contextlib.suppress(CliError):
            version = read_model_version(job.path)
            if major_minor(version) not in (None, major_minor(dictionary.idd.version)):
                hint = f" (the model is version {version}, the dictionary {idd_path} is {dictionary.idd.version})"
        raise CliError(f"{job.shown}: {exc}{hint}") from None
    seconds = time.perf_counter() - start
    version = model_version(model)
    have, want = major_minor(version), major_minor(dictionary.idd.version)
    if have is not None and want is not None and have != want:
        warnings.append(
            f"{job.shown} is version {version} but the dictionary {idd_path} is version {dictionary.idd.version}"
        )
    return Loaded(model, dictionary, loaded_here, seconds, version)


def run_jobs(
    jobs: Sequence[Job],
    work: Callable[[Job, list[str]], Any],
    emit: Callable[[Outcome], None],
    threads: int,
) -> list[Outcome]:
    """Runs `work` on every job (in `threads` threads), then `emit` on each
    outcome in the order the files were given, with a progress bar on a
    terminal when there are many files."""
    progress = Progress(len(jobs), sys.stderr, len(jobs) >= PROGRESS_MIN_FILES and _isatty(sys.stderr))

    def one(job: Job) -> Outcome:
        outcome = Outcome(job)
        try:
            outcome.data = work(job, outcome.warnings)
        except CliError as exc:
            outcome.ok = False
            outcome.message = str(exc)
        return outcome

    def report(outcome: Outcome) -> None:
        with progress.paused():
            for message in outcome.warnings:
                warning(message)
            if not outcome.ok:
                error(outcome.message)
            emit(outcome)

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


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# --------------------------------------------------------------------------
# check


@dataclass
class Problem:
    file: str
    cls: str
    name: str | None
    field: str | None
    check: str
    message: str
    # (class in dictionary order, object in the class, field): report order
    order: tuple[int, int, int] = dc_field(default=(0, 0, 0), compare=False, repr=False)

    def record(self) -> dict[str, Any]:
        return {
            "file": self.file,
            "class": self.cls,
            "name": self.name,
            "field": self.field,
            "check": self.check,
            "message": self.message,
        }

    def line(self) -> str:
        where = self.cls if self.name is None else f'{self.cls} "{self.name}"'
        if self.field:
            where += f", {self.field}"
        return f"{self.file}: {where}: {self.message} [{self.check}]"


def _number_text(value: float) -> str:
    return repr(value) if isinstance(value, float) and not value.is_integer() else f"{value:g}"


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def check_model(model: IDF, dictionary: Dictionary, shown: str) -> list[Problem]:
    """Every problem `tamrix check` reports in one model, classes in
    dictionary order and objects in the order they were read."""
    problems: list[Problem] = []
    order = dictionary.class_order()
    classes = sorted(model.get_class_names(), key=lambda c: order.get(c.upper(), len(order)))

    # The first object defining each name under each list:
    # (list, upper-cased name) -> (id of the object, its class, its name).
    definers: dict[tuple[str, str], tuple[int, str, str | None]] = {}
    # Object-list values that name nothing the model's index knows, judged
    # once every definition has been seen: (problem, lists, value, whether
    # the index could not be asked, for fields past the declared ones).
    unresolved: list[tuple[Problem, tuple[str, ...], str, bool]] = []

    for class_name in classes:
        rules = dictionary.rules(class_name)
        class_position = order.get(class_name.upper(), len(order))
        objects = model.get_objects(class_name)
        declared = rules.declared
        # Omitted trailing fields are blank too: all declared ones of a
        # plain class, those before the repeating groups of an extensible one.
        blank_upto = declared if rules.extensible is None else min(rules.extensible[0], declared)
        for position, obj in enumerate(objects):
            values = obj.get_values()
            name = _object_name(rules, values)
            count = len(values)

            def problem(index: int | None, check: str, message: str, keep: bool = True) -> Problem:
                where = None if index is None else rules.field_name(index)
                at = (class_position, position, -1 if index is None else index)
                found = Problem(shown, rules.name, name, where, check, message, at)
                if keep:
                    problems.append(found)
                return found

            if rules.unique and position > 0:
                problem(None, "unique-object", f"object {position + 1} of {len(objects)}; the class allows only one")
            if rules.extensible is None and count > declared:
                problem(None, "too-many-fields", f"has {count} fields; the class defines {declared}")
            for index in range(count):
                rule = rules.rule(index)
                value = values[index]
                if rule is None:
                    continue
                if value is None or value == "":
                    if rule.required and not rule.has_default:
                        problem(index, "required", "required field is blank")
                    continue
                if isinstance(value, str) and value.startswith("="):
                    continue  # a parametric expression, replaced before a run
                if rule.references:
                    _define(problem, definers, rule, index, id(obj), rules.name, name, str(value))
                if rule.numeric:
                    message = _number_problem(rule, value)
                    if message is not None:
                        problem(index, *message)
                elif rule.choices is not None and isinstance(value, str) and value.upper() not in rule.choices:
                    problem(index, "choice", f'"{value}" is not one of: {rule.choice_text}')
                if rule.object_lists:
                    # The model's index answers for declared fields; a field
                    # past them is judged against every definition seen.
                    by_scan = index >= declared
                    if by_scan or obj.get_referenced_object(index) is None:
                        stub = problem(index, "reference", "", keep=False)
                        unresolved.append((stub, rule.object_lists, str(value), by_scan))
            for index in range(count, blank_upto):
                rule = rules.rule(index)
                if rule is not None and rule.required and not rule.has_default:
                    problem(index, "required", "required field is blank")

    lists_with_targets = {list_name for list_name, _ in definers}
    declared_lists: frozenset[str] | None = None
    for stub, lists, value, by_scan in unresolved:
        if by_scan and any((list_name, value.upper()) in definers for list_name in lists):
            continue
        if not any(list_name in lists_with_targets for list_name in lists):
            # No object of the model defines a name under any of these
            # lists: they must be lists the dictionary fills (class or node
            # names), unless some field declares them as \reference.
            if declared_lists is None:
                declared_lists = dictionary.reference_lists()
            if not any(list_name.upper() in declared_lists for list_name in lists):
                continue
        stub.message = f'"{value}" names no object in {" or ".join(lists)}'
        problems.append(stub)
    problems.sort(key=lambda p: p.order)
    return problems


def _define(
    problem: Callable[..., Problem],
    definers: dict[tuple[str, str], tuple[int, str, str | None]],
    rule: FieldRule,
    index: int,
    me: int,
    class_name: str,
    name: str | None,
    value: str,
) -> None:
    """Records where a name is defined; a second object defining the same
    name under one of the same lists is a duplicate."""
    upper = value.upper()
    clashes: list[str] = []
    other: tuple[int, str, str | None] | None = None
    for list_name in rule.references:
        key = (list_name, upper)
        holder = definers.get(key)
        if holder is None:
            definers[key] = (me, class_name, name)
        elif holder[0] != me:
            clashes.append(list_name)
            other = other or holder
    if other is not None:
        by = other[1] if other[2] is None else f'{other[1]} "{other[2]}"'
        problem(index, "duplicate-name", f'"{value}" is already defined in {", ".join(clashes)} by {by}')


def _object_name(rules: ClassRules, values: list[Any]) -> str | None:
    if rules.names_objects and values and isinstance(values[0], str) and values[0]:
        return values[0]
    return None


def _number_problem(rule: FieldRule, value: Any) -> tuple[str, str] | None:
    """(check, message) for a numeric field's value, or None when it is fine."""
    if isinstance(value, str):
        lowered = value.lower()
        if lowered in ("autosize", "autocalculate"):
            # The engine takes either word in a field that allows either.
            if rule.autosizable or rule.autocalculatable:
                return None
            return ("number", f"{value} is not allowed in this field")
        if rule.choices is not None and value.upper() in rule.choices:
            return None
        number = _float_or_none(value)
        if number is None:
            return ("number", f'"{value}" is not a number')
        if rule.integer and not number.is_integer():
            return ("number", f'"{value}" is not a whole number')
        value = number  # a whole number written as a real ("1.0000")
    if not _is_number(value):
        return None
    if isinstance(value, float) and not math.isfinite(value):
        return ("number", f'"{value}" is not a finite number')
    low, high = rule.minimum, rule.maximum
    if low is not None and (value <= low if rule.minimum_exclusive else value < low):
        relation = "greater than" if rule.minimum_exclusive else "at least"
        return ("range", f"{_number_text(value)} is out of range: must be {relation} {_number_text(low)}")
    if high is not None and (value >= high if rule.maximum_exclusive else value > high):
        relation = "less than" if rule.maximum_exclusive else "at most"
        return ("range", f"{_number_text(value)} is out of range: must be {relation} {_number_text(high)}")
    return None


_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def _float_or_none(text: str) -> float | None:
    """The number a field's text holds, when it is all a plain decimal."""
    if _NUMBER.fullmatch(text.strip()) is None:
        return None
    number = float(text)
    return number if math.isfinite(number) else None


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
        }
        separate = len(jobs) > 1 and args.output is None and not args.in_place

        def work(job: Job, warnings: list[str]) -> str | None:
            loaded = load(job, cache, warnings)
            target = job.path if args.in_place else args.output
            if target is None:
                return loaded.model.format(**style) + "\n"
            try:
                loaded.model.save(target, include_timestamp=not args.no_timestamp, **style)
            except OSError as exc:
                raise CliError(f"cannot write {target}: {exc.strerror or exc}") from None
            return None

        def emit(outcome: Outcome) -> None:
            if outcome.ok and outcome.data is not None:
                if separate:
                    _write_model_text(f"! ==> {outcome.job.shown} <==\n")
                _write_model_text(outcome.data)

        return exit_status(run_jobs(jobs, work, emit, thread_count(args, len(jobs))))


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def cmd_info(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as stack:
        jobs = make_jobs(args, stack)
        cache = DictionaryCache()
        records: list[dict[str, Any]] = []

        def work(job: Job, warnings: list[str]) -> dict[str, Any]:
            loaded = load(job, cache, warnings)
            order = loaded.dictionary.class_order()
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

        outcomes = run_jobs(jobs, work, emit, thread_count(args, len(jobs)))
        if args.format == "json":
            _write(sys.stdout, json.dumps(records, indent=2, ensure_ascii=False) + "\n")
        return exit_status(outcomes)


def cmd_check(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as stack:
        jobs = make_jobs(args, stack)
        cache = DictionaryCache()
        found: list[Problem] = []

        def work(job: Job, warnings: list[str]) -> list[Problem]:
            loaded = load(job, cache, warnings)
            return check_model(loaded.model, loaded.dictionary, job.shown)

        def emit(outcome: Outcome) -> None:
            if not outcome.ok:
                return
            found.extend(outcome.data)
            if args.format == "text" and outcome.data:
                _write(sys.stdout, "".join(p.line() + "\n" for p in outcome.data))

        outcomes = run_jobs(jobs, work, emit, thread_count(args, len(jobs)))
        if args.format == "json":
            _write(sys.stdout, json.dumps([p.record() for p in found], indent=2, ensure_ascii=False) + "\n")
        else:
            checked = sum(1 for o in outcomes if o.ok)
            files = f"{checked} file{'s' if checked != 1 else ''}"
            if found:
                with_problems = len({p.file for p in found})
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
    rules = dictionary.rules(obj.class_name)
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
                other_rules = dictionary.rules(other.class_name)
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
                            "name": _object_name(other_rules, other_values),
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
                target_rules = dictionary.rules(target.class_name)
                entry.update({"class": target.class_name, "name": _object_name(target_rules, target.get_values())})
            elif not {n.upper() for n in rule.object_lists} & dictionary.reference_lists():
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
        warnings: list[str] = []
        try:
            loaded = load(job, DictionaryCache(), warnings)
        finally:
            for message in warnings:
                warning(message)
        obj = find_object(loaded.model, loaded.dictionary, class_name, name, job.shown)
        refs = object_refs(obj, loaded.dictionary)
        own_name = _object_name(loaded.dictionary.rules(obj.class_name), obj.get_values())
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

    parser = ArgumentParser(
        prog=PROG,
        description="Format, summarise, check and query IDF building-simulation models.",
        epilog=f"Run '{PROG} COMMAND --help' for the options of a command. Exit status: 0 on success, "
        f"{EXIT_PROBLEMS} when check reports problems, {EXIT_ERROR} on bad arguments or unreadable input.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=ArgumentParser)
    sub.required = True

    fmt = sub.add_parser(
        "fmt",
        parents=[common],
        help="write models back in the standard layout",
        description="Write models back in the standard layout: classes in dictionary order under group "
        "headers, one field a line with its name as a comment. Prints to standard output unless -o or "
        "--in-place is given; formatting a formatted file changes nothing.",
    )
    fmt.add_argument("files", nargs="*", metavar="FILE", help="IDF model files")
    target = fmt.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="OUT", help="write the (single) model to OUT")
    target.add_argument("--in-place", action="store_true", help="rewrite each file (atomically)")
    fmt.add_argument("--compact", action="store_true", help="one object a line, no comments")
    fmt.add_argument("--preserve-order", action="store_true", help="keep the objects in the order they were read")
    fmt.add_argument(
        "--field-size", type=_non_negative, default=24, metavar="N", help="pad values to N characters (default: 24)"
    )
    fmt.add_argument("--no-timestamp", action="store_true", help="leave the 'Saved at' time stamp out of written files")
    fmt.set_defaults(handler=cmd_fmt)

    info = sub.add_parser(
        "info",
        parents=[common],
        help="version, object counts and load time of models",
        description="Show each model's version, its dictionary, how many objects of each class it holds "
        "and how long it took to load.",
    )
    info.add_argument("files", nargs="*", metavar="FILE", help="IDF model files")
    info.add_argument("--format", choices=("text", "json"), default="text", help="output format (default: text)")
    info.set_defaults(handler=cmd_info)

    check = sub.add_parser(
        "check",
        parents=[common],
        help="report broken references and invalid values",
        description="Report, one line each: references that name no object, choice values that are not "
        "among the field's keys, numeric fields that hold no number, blank required fields, values out of "
        "range, objects with more fields than their class has, duplicate names, and unique objects given "
        "twice. Values starting with '=' (parametric expressions) are not checked. "
        f"Exit status {EXIT_PROBLEMS} when anything is reported.",
    )
    check.add_argument("files", nargs="*", metavar="FILE", help="IDF model files")
    check.add_argument(
        "--format",
        choices=("text", "json"),
        default="text",
        help="text lines, or a JSON list of {file, class, name, field, check, message} (default: text)",
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
