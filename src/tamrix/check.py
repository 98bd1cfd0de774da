"""Checking a model against its dictionary.

``check_model(model)`` returns one `Problem` per finding, classes in
dictionary order, objects in the order they were read, fields in order:

- ``reference``: an object-list value that names no object (only for lists
  that hold object names: lists the dictionary fills with class or node
  names are not checked, nor a value equal to the field's own default,
  which names something the engine provides, such as its built-in fluids);
- ``choice``: a value that is not among the field's keys;
- ``number``: a numeric field whose text the engine would not read as a
  plain decimal number (hexadecimal, ``inf``, ``nan``, trailing text), an
  overflowing or fractional value where a whole number is wanted, or
  Autosize / Autocalculate where the field takes neither;
- ``range``: a number outside the field's minimum and maximum;
- ``required``: a required field left blank, with no default to take;
- ``too-many-fields``: more fields than a non-extensible class defines;
- ``unique-object``: a second object of a class that allows only one;
- ``duplicate-name``: a name defined twice in the same reference list.

Values starting with ``=`` (parametric expressions, replaced before a run)
are not checked. Messages quote values as they are written in the file.
"""

from __future__ import annotations

import math
import threading
import weakref
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Sequence

from tamrix.idd import IDD
from tamrix.idf import IDF, IDFObject

if TYPE_CHECKING:
    from tamrix.idd import ClassInfo, FieldInfo

__all__ = ["KINDS", "Problem", "check_model"]

KINDS = (
    "reference",
    "choice",
    "number",
    "range",
    "required",
    "too-many-fields",
    "unique-object",
    "duplicate-name",
)


@dataclass(frozen=True, slots=True)
class Problem:
    """One finding of `check_model`.

    `field_name` and `field_index` are None for problems of a whole object
    (unique-object, too-many-fields). `value` is the field's text as written
    in the file ("" for a blank field, None for an object problem or for a
    field the object leaves out). `line` is the 1-based line of the source
    text where the value stands (for a left-out field, where the object
    ends; for an object problem, its first value or, for too-many-fields,
    its first surplus value); None when the model cannot tell, as for
    objects added or edited after loading.
    """

    kind: str
    class_name: str
    object_name: str | None
    field_name: str | None
    field_index: int | None
    value: str | None
    line: int | None
    message: str


# --------------------------------------------------------------------------
# Stored text and source lines of an object


def _raw_values(obj: IDFObject) -> list[str]:
    """The stored text of every value of an object, as written in the file."""
    return obj._raw_values()


def _source_lines(obj: IDFObject) -> Sequence[int] | None:
    """The 1-based source line of each stored value, or None once the
    object was edited (or for an object that was never read from text)."""
    return obj._source_lines()


# --------------------------------------------------------------------------
# Numbers as the engine reads them


_DIGITS = frozenset("0123456789")
_DECIMAL_CHARS = "0123456789.+-eE"


def _all_digits(text: str) -> bool:
    return bool(text) and set(text) <= _DIGITS


def read_decimal(text: str) -> float | None:
    """The number a field's text holds when the engine reads it as one: an
    optional sign, digits with an optional decimal point, an optional
    exponent (e, E, d or D); None for anything else (hexadecimal, inf, nan,
    trailing text). An overflowing exponent gives an infinity."""
    body = text.strip()
    if body[:1] in ("+", "-"):
        body = body[1:]
    mantissa, exponent = body, None
    for mark in ("e", "E", "d", "D"):
        at = body.find(mark)
        if at >= 0:
            mantissa, exponent = body[:at], body[at + 1 :]
            break
    if exponent is not None:
        digits = exponent[1:] if exponent[:1] in ("+", "-") else exponent
        if not _all_digits(digits):
            return None
    whole, point, fraction = mantissa.partition(".")
    if not (whole or fraction) or (whole and not _all_digits(whole)) or (fraction and not _all_digits(fraction)):
        return None
    sign = "-" if text.strip().startswith("-") else ""
    return float(f"{sign}{mantissa}e{exponent}" if exponent is not None else f"{sign}{mantissa}")


def _bound_text(value: float) -> str:
    return repr(value) if not value.is_integer() else f"{value:g}"


# --------------------------------------------------------------------------
# Rules derived from a dictionary, computed once per dictionary


@dataclass(frozen=True, slots=True)
class FieldRule:
    """What the checks verify of one field definition."""

    numeric: bool
    integer: bool
    choices: frozenset[str] | None  # upper-cased keys
    choice_text: str
    object_lists: tuple[str, ...]
    references: tuple[str, ...]
    required: bool
    has_default: bool  # a blank takes the default: nothing is missing
    default_upper: str
    autosizable: bool
    autocalculatable: bool
    minimum: float | None
    minimum_exclusive: bool
    maximum: float | None
    maximum_exclusive: bool
    bounded: bool  # has a minimum or a maximum


def _field_rule(info: FieldInfo) -> FieldRule:
    kind = info["type"]
    numeric = kind in ("integer", "real") or (kind == "" and info["code"][:1].upper() == "N")
    choices = None
    if kind == "choice" and info["choices"]:
        choices = frozenset(c.upper() for c in info["choices"])
    shown = info["choices"][:8]
    choice_text = ", ".join(shown) + (", ..." if len(info["choices"]) > 8 else "")
    return FieldRule(
        numeric=numeric,
        integer=kind == "integer",
        choices=choices,
        choice_text=choice_text,
        object_lists=tuple(info["object_lists"]),
        references=tuple(info["references"]),
        required=info["required"],
        has_default=info["default"] != "",
        default_upper=info["default"].upper(),
        autosizable=info["autosizable"],
        autocalculatable=info["autocalculatable"],
        minimum=info["minimum"],
        minimum_exclusive=info["minimum_exclusive"],
        maximum=info["maximum"],
        maximum_exclusive=info["maximum_exclusive"],
        bounded=info["minimum"] is not None or info["maximum"] is not None,
    )


class ClassRules:
    """A class's definition as the checks use it; the rule of a field is
    built the first time a model has a value there."""

    def __init__(self, idd: IDD, info: ClassInfo) -> None:
        # Weak: the rules are kept by a mapping weakly keyed by the dictionary.
        self._idd_ref = weakref.ref(idd)
        self.name: str = info["name"]
        self.unique: bool = info["unique_object"]
        self._infos: list[FieldInfo] = info["fields"]
        self._built: list[FieldRule | None] = [None] * len(self._infos)
        self._names: dict[int, str] = {}
        self.declared = len(self._infos)
        ext = info["extensible"]
        self.extensible: tuple[int, int] | None = (
            (ext["begin"], ext["size"]) if ext and ext["size"] > 0 and self._infos else None
        )
        first = self._infos[0] if self._infos else None
        # The first field names the object: a text field called "... Name"
        # or one that other objects refer to.
        self.names_objects = (
            first is not None
            and first["code"][:1].upper() == "A"
            and ("name" in first["name"].lower() or bool(first["references"]))
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
        """The field's name as the writer's comments give it (generated past
        the declared fields of an extensible class)."""
        name = self._names.get(index)
        if name is None:
            idd = self._idd_ref()
            try:
                if idd is None:
                    raise IndexError(index)
                name = idd.field_name(self.name, index)
            except IndexError:
                name = f"field {index + 1}"
            self._names[index] = name
        return name

    def object_name(self, values: Sequence[Any]) -> str | None:
        """The object's name: its first value, when the class names objects."""
        if self.names_objects and values and isinstance(values[0], str) and values[0]:
            return values[0]
        return None


class DictionaryRules:
    """Rules of a dictionary's classes, built as they are first asked for
    and shared by every thread checking a model of that dictionary."""

    def __init__(self, idd: IDD) -> None:
        self._idd_ref = weakref.ref(idd)
        self._classes: dict[str, ClassRules] = {}
        self._order: dict[str, int] | None = None
        self._reference_lists: frozenset[str] | None = None
        self._lock = threading.Lock()

    @property
    def _idd(self) -> IDD:
        idd = self._idd_ref()
        if idd is None:  # only reachable through a rules object kept past its dictionary
            raise ReferenceError("the dictionary of these rules is gone")
        return idd

    def for_class(self, class_name: str) -> ClassRules:
        key = class_name.upper()
        found = self._classes.get(key)
        if found is None:
            idd = self._idd
            built = ClassRules(idd, idd.class_info(class_name))
            with self._lock:
                found = self._classes.setdefault(key, built)
        return found

    def class_order(self) -> dict[str, int]:
        """Upper-cased class name -> position in the dictionary."""
        order = self._order
        if order is None:
            order = {name.upper(): i for i, name in enumerate(self._idd.class_names())}
            self._order = order
        return order

    def reference_lists(self) -> frozenset[str]:
        """Every list name (upper-cased) that some field of the dictionary
        declares with \\reference: the lists that really hold object names
        (the others are filled with class or node names)."""
        with self._lock:
            if self._reference_lists is None:
                self._reference_lists = frozenset(name.upper() for name in self._idd.reference_lists())
            return self._reference_lists


_RULES: weakref.WeakKeyDictionary[IDD, DictionaryRules] = weakref.WeakKeyDictionary()
_RULES_LOCK = threading.Lock()
def rules_for(idd: IDD) -> DictionaryRules:
    """The rules of a dictionary, made once and kept while it lives."""
    with _RULES_LOCK:
        found = _RULES.get(idd)
        if found is None:
            found = _RULES[idd] = DictionaryRules(idd)
        return found


# --------------------------------------------------------------------------
# The checks


class _ObjectView:
    """One object as the checks see it: typed values now, stored text and
    source lines only when something is reported or a number needs its
    text verified."""

    __slots__ = ("obj", "values", "_raw", "_lines", "_lines_read")

    def __init__(self, obj: IDFObject, values: list[Any]) -> None:
        self.obj = obj
        self.values = values
        self._raw: list[str] | None = None
        self._lines: Sequence[int] | None = None
        self._lines_read = False

    def raw(self) -> list[str]:
        if self._raw is None:
            self._raw = _raw_values(self.obj)
        return self._raw

    def text(self, index: int) -> str:
        return self.raw()[index]

    def line(self, index: int) -> int | None:
        if not self._lines_read:
            self._lines = _source_lines(self.obj)
            self._lines_read = True
        lines = self._lines
        if not lines:
            return None
        return lines[min(index, len(lines) - 1)]


def _number_problem(rule: FieldRule, value: Any, view: _ObjectView, index: int) -> tuple[str, str] | None:
    """(kind, message) for a numeric field's value, or None when it is fine.
    Decisions start from the core's typed value; a float is verified on its
    text, which the core may have read more liberally than the engine does
    (hexadecimal, inf, nan)."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        number: float | int = value  # the core types int only a plain whole number
    elif isinstance(value, float) and math.isfinite(value) and not view.text(index).strip(_DECIMAL_CHARS):
        # Read whole by the core and made of decimal characters only (no
        # hexadecimal, inf or nan): the engine reads the same number.
        number = value
    else:
        text = view.text(index) if isinstance(value, float) else str(value)
        lowered = text.lower()
        if lowered in ("autosize", "autocalculate"):
            # The engine takes either word in a field that allows either.
            if rule.autosizable or rule.autocalculatable:
                return None
            return ("number", f"{view.text(index)} is not allowed in this field")
        if rule.choices is not None and text.upper() in rule.choices:
            return None
        read = read_decimal(text)
        if read is None:
            return ("number", f'"{view.text(index)}" is not a number')
        if not math.isfinite(read):
            return ("number", f'"{view.text(index)}" is not a finite number')
        if rule.integer and not read.is_integer():
            return ("number", f'"{view.text(index)}" is not a whole number')
        number = read
    low, high = rule.minimum, rule.maximum
    if low is not None and (number <= low if rule.minimum_exclusive else number < low):
        relation = "greater than" if rule.minimum_exclusive else "at least"
        return ("range", f"{view.text(index)} is out of range: must be {relation} {_bound_text(low)}")
    if high is not None and (number >= high if rule.maximum_exclusive else number > high):
        relation = "less than" if rule.maximum_exclusive else "at most"
        return ("range", f"{view.text(index)} is out of range: must be {relation} {_bound_text(high)}")
    return None


class _Checker:
    def __init__(self, rules: DictionaryRules) -> None:
        self.rules = rules
        # (report order, problem): order is (class in dictionary order,
        # object in its class, field or -1 for the whole object).
        self.found: list[tuple[tuple[int, int, int], Problem]] = []
        # The first object defining each name under each list:
        # (list, upper-cased name) -> (id of the object, its class, its name).
        self.definers: dict[tuple[str, str], tuple[int, str, str | None]] = {}
        # Object-list values that name nothing the model's index knows,
        # judged once every definition has been seen.
        self.unresolved: list[tuple[tuple[int, int, int], Problem, FieldRule, str, bool]] = []

    def problem(
        self,
        kind: str,
        rules: ClassRules,
        name: str | None,
        view: _ObjectView,
        index: int | None,
        message: str,
        *,
        line_at: int | None = None,
    ) -> Problem:
        """A finding on field `index` (None: on the whole object, located at
        its value `line_at`)."""
        value = None
        if index is not None:
            count = len(view.values)
            if index < count:
                value = view.text(index)
                line_at = index
            else:
                line_at = count - 1 if count else None  # a left-out field: where the object ends
        return Problem(
            kind=kind,
            class_name=rules.name,
            object_name=name,
            field_name=None if index is None else rules.field_name(index),
            field_index=index,
            value=value,
            line=None if line_at is None else view.line(line_at),
            message=message,
        )

    def report(self, order: tuple[int, int, int], problem: Problem) -> None:
        self.found.append((order, problem))

    def check_class(self, class_name: str, class_position: int, objects: Sequence[IDFObject]) -> None:
        rules = self.rules.for_class(class_name)
        declared = rules.declared
        # Omitted trailing fields are blank too: all declared ones of a
        # plain class, those before the repeating groups of an extensible one.
        blank_upto = declared if rules.extensible is None else min(rules.extensible[0], declared)
        total = len(objects)
        for position, obj in enumerate(objects):
            values = obj.get_values()
            view = _ObjectView(obj, values)
            name = rules.object_name(values)
            count = len(values)
            at = (class_position, position, -1)
            raw: list[str] | None = None

            if rules.unique and position > 0:
                message = f"object {position + 1} of {total}; the class allows only one"
                self.report(at, self.problem("unique-object", rules, name, view, None, message, line_at=0))
            if rules.extensible is None and count > declared:
                message = f"has {count} fields; the class defines {declared}"
                self.report(at, self.problem("too-many-fields", rules, name, view, None, message, line_at=declared))
            for index in range(count):
                rule = rules.rule(index)
                if rule is None:
                    continue
                value = values[index]
                where = (class_position, position, index)
                if value is None or value == "":
                    if rule.required and not rule.has_default:
                        self.report(where, self.problem("required", rules, name, view, index,
                                                        "required field is blank"))
                    continue
                if isinstance(value, str) and value.startswith("="):
                    continue  # a parametric expression, replaced before a run
                if rule.references:
                    self._define(where, rules, name, view, rule, index, id(obj), str(value))
                if rule.numeric:
                    # The common case without a call: a finite number with
                    # no bounds, written in decimal characters only.
                    kind = type(value)
                    if kind is float:
                        if raw is None:
                            raw = view.raw()
                        plain = not rule.bounded and value - value == 0.0 and not raw[index].strip(_DECIMAL_CHARS)
                    else:
                        plain = kind is int and not rule.bounded
                    found = None if plain else _number_problem(rule, value, view, index)
                    if found is not None:
                        self.report(where, self.problem(found[0], rules, name, view, index, found[1]))
                elif rule.choices is not None and isinstance(value, str) and value.upper() not in rule.choices:
                    message = f'"{value}" is not one of: {rule.choice_text}'
                    self.report(where, self.problem("choice", rules, name, view, index, message))
                if rule.object_lists:
                    # The model's index answers for declared fields; a field
                    # past them is judged against every definition seen.
                    by_scan = index >= declared
                    if by_scan or obj.get_referenced_object(index) is None:
                        stub = self.problem("reference", rules, name, view, index, "")
                        self.unresolved.append((where, stub, rule, str(value), by_scan))
            for index in range(count, blank_upto):
                rule = rules.rule(index)
                if rule is not None and rule.required and not rule.has_default:
                    where = (class_position, position, index)
                    self.report(where, self.problem("required", rules, name, view, index, "required field is blank"))

    def _define(
        self,
        where: tuple[int, int, int],
        rules: ClassRules,
        name: str | None,
        view: _ObjectView,
        rule: FieldRule,
        index: int,
        me: int,
        value: str,
    ) -> None:
        """Records where a name is defined; a second object defining the
        same name under one of the same lists is a duplicate."""
        upper = value.upper()
        clashes: list[str] = []
        other: tuple[int, str, str | None] | None = None
        for list_name in rule.references:
            key = (list_name, upper)
            holder = self.definers.get(key)
            if holder is None:
                self.definers[key] = (me, rules.name, name)
            elif holder[0] != me:
                clashes.append(list_name)
                other = other or holder
        if other is not None:
            by = other[1] if other[2] is None else f'{other[1]} "{other[2]}"'
            message = f'"{value}" is already defined in {", ".join(clashes)} by {by}'
            self.report(where, self.problem("duplicate-name", rules, name, view, index, message))

    def judge_references(self) -> None:
        lists_with_targets = {list_name for list_name, _ in self.definers}
        declared_lists: frozenset[str] | None = None
        for where, stub, rule, value, by_scan in self.unresolved:
            lists = rule.object_lists
            upper = value.upper()
            if by_scan and any((list_name, upper) in self.definers for list_name in lists):
                continue
            if rule.has_default and upper == rule.default_upper:
                continue  # the field's own default names something the engine provides
            if not any(list_name in lists_with_targets for list_name in lists):
                # No object of the model defines a name under any of these
                # lists: they must be lists the dictionary fills (class or
                # node names), unless some field declares them as \reference.
                if declared_lists is None:
                    declared_lists = self.rules.reference_lists()
                if not any(list_name.upper() in declared_lists for list_name in lists):
                    continue
            message = f'"{value}" names no object in {" or ".join(lists)}'
            self.report(where, _with_message(stub, message))


def _with_message(problem: Problem, message: str) -> Problem:
    return Problem(problem.kind, problem.class_name, problem.object_name, problem.field_name, problem.field_index,
                   problem.value, problem.line, message)


def check_model(model: IDF) -> list[Problem]:
    """Every problem found in a model (see the module's description), classes
    in dictionary order, objects in the order they were read, fields in order."""
    idd = model._idd
    if idd is None:
        return []
    checker = _Checker(rules_for(idd))
    order = checker.rules.class_order()
    classes = sorted(model.get_class_names(), key=lambda c: order.get(c.upper(), len(order)))
    for class_name in classes:
        checker.check_class(class_name, order.get(class_name.upper(), len(order)), model.get_objects(class_name))
    checker.judge_references()
    checker.found.sort(key=lambda item: item[0])
    return [problem for _, problem in checker.found]
