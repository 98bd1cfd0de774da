"""Attribute-style scripting on tamrix documents.

Scripts written in the ``modeleditor`` vocabulary (``IDF``, ``idfobjects``,
``newidfobject``, ``obj.Field_Name`` ...) run on tamrix's native model by
changing their imports::

    from tamrix.compat import IDF
    from tamrix import compat as modeleditor

Where the classic behaviour is unsound this module does the sound thing
instead: an unknown class name raises KeyError instead of giving an empty
list, the per-class lists are live views of the model, and newidfobject is
all or nothing.
"""

from __future__ import annotations

import io
import math
import os
import re
from collections.abc import MutableMapping, MutableSequence

from tamrix import discovery as _discovery
from tamrix._fileio import write_file as _write_file
from tamrix.idd import IDD as _IDD
from tamrix.idf import IDF as _CoreIDF
from tamrix.idf import IDFObject as _CoreObject
from tamrix.lexer import _model_version

__all__ = [
    "BadEPFieldError",
    "EpBunch",
    "IDDAlreadySetError",
    "IDDNotSetError",
    "IDDResetError",
    "IDF",
    "Idf_MSequence",
    "MissingIDDException",
    "RangeError",
    "almostequal",
    "copyidf",
    "easyopen",
    "makefieldname",
    "rename",
    "zonearea",
    "zoneheight",
    "zonevolume",
]


# --- errors -----------------------------------------------------------------


class BadEPFieldError(AttributeError):
    """An attribute that is no field of the object's class."""


class RangeError(ValueError):
    """A field value outside the bounds its dictionary gives."""


class IDDNotSetError(Exception):
    """A model was made before any dictionary was set."""


class IDDAlreadySetError(Exception):
    """Another dictionary was set for this process already."""


class IDDResetError(Exception):
    """The process-wide dictionary cannot be replaced."""


class MissingIDDException(Exception):
    """No dictionary could be found for a model's version."""


# --- attribute names ----------------------------------------------------------

_NOT_NAME_CHAR = re.compile(r"[^A-Za-z0-9 ]")


def makefieldname(name: str) -> str:
    """The attribute name of a dictionary field name: whitespace runs become
    one space, outer blanks go, every character other than an ASCII letter,
    digit or space is deleted and each space becomes ``_``."""
    return _NOT_NAME_CHAR.sub("", " ".join(name.split())).replace(" ", "_")


def almostequal(first, second, places=7) -> bool:
    """Whether two numbers are equal to `places` decimal places."""
    return round(abs(first - second), places) == 0


# Field kinds, for typing values read through attributes.
_TEXT, _INTEGER, _REAL = 0, 1, 2
_AUTO_WORDS = ("Autosize", "Autocalculate")


def _typed(kind: int, raw: str):
    """A stored text as an attribute read gives it."""
    if kind == _TEXT or not raw or "_" in raw:
        return raw
    try:
        return int(raw) if kind == _INTEGER else float(raw)
    except ValueError:
        return raw


class _ClassMeta:
    """What attribute access needs to know of one class, built once per
    dictionary and class."""

    __slots__ = (
        "idd",
        "name",
        "upper",
        "group",
        "fields",
        "attrs",
        "fieldnames",
        "kinds",
        "ext_begin",
        "ext_size",
        "patterns",
        "is_zone",
        "has_subsurfaces",
        "is_geometry",
        "bunch_type",
        "getters",
    )

    def __init__(self, idd: _IDD, name: str) -> None:
        info = idd.class_info(name)
        self.idd = idd
        self.name = info["name"]
        self.upper = self.name.upper()
        self.group = info["group"]
        self.fields = info["fields"]
        names = [makefieldname(f["name"]) for f in self.fields]
        attrs: dict[str, int] = {}
        for i, attr in enumerate(names):
            attrs.setdefault(attr, i)
        self.attrs = attrs
        self.fieldnames = ["key", *names]
        self.kinds = [self._kind(f) for f in self.fields]
        ext = info["extensible"]
        self.ext_begin = ext["begin"] if ext else -1
        self.ext_size = ext["size"] if ext else 0
        self.patterns = self._group_patterns() if ext else []
        self.is_zone = self.upper == "ZONE"
        self.has_subsurfaces = self.group == "Thermal Zones and Surfaces" and "Zone_Name" in attrs
        self.is_geometry = self.upper in _GEOMETRY_CLASSES
        self.bunch_type = None
        self.getters: dict = {}

    @staticmethod
    def _kind(field) -> int:
        if field["type"] == "integer":
            return _INTEGER
        if field["type"] == "real" or (field["type"] == "" and field["code"][:1] in ("N", "n")):
            return _REAL
        return _TEXT

    def _group_patterns(self):
        """For each field of the first extensible group, a pattern matching
        the attribute names of every later group: the names of the first two
        groups differ in one number, the group's."""
        patterns = []
        begin, size = self.ext_begin, self.ext_size
        for j in range(size):
            try:
                first = makefieldname(self.idd.field_name(self.name, begin + j))
                second = makefieldname(self.idd.field_name(self.name, begin + j + size))
            except IndexError:
                return patterns
            a, b = re.split(r"(\d+)", first), re.split(r"(\d+)", second)
            if len(a) != len(b):
                continue
            diff = [k for k in range(1, len(a), 2) if a[k] != b[k]]
            if len(diff) != 1 or int(b[diff[0]]) != int(a[diff[0]]) + 1:
                continue
            k = diff[0]
            regex = re.compile(re.escape("".join(a[:k])) + r"([1-9][0-9]*)" + re.escape("".join(a[k + 1 :])))
            patterns.append((regex, j, int(a[k])))
        return patterns

    def kind(self, idx: int) -> int:
        if idx < len(self.kinds):
            return self.kinds[idx]
        if self.ext_size:
            return self.kinds[self.ext_begin + (idx - self.ext_begin) % self.ext_size]
        return _TEXT

    def index(self, attr: str) -> int:
        """The field index of an attribute name; BadEPFieldError when it
        names no field of the class."""
        idx = self.attrs.get(attr)
        if idx is not None:
            return idx
        if isinstance(attr, str):
            for regex, j, base in self.patterns:
                m = regex.fullmatch(attr)
                if m is None:
                    continue
                idx = self.ext_begin + j + (int(m.group(1)) - base) * self.ext_size
                if idx >= self.ext_begin and makefieldname(self.idd.field_name(self.name, idx)) == attr:
                    if len(self.attrs) < 20000:
                        self.attrs[attr] = idx
                    return idx
        raise BadEPFieldError(f"unable to find field {attr}")

    def field_info(self, idx: int):
        if idx < len(self.fields):
            return self.fields[idx]
        return self.idd.field_info(self.name, idx)

    def field_name(self, idx: int) -> str:
        if idx < len(self.fields):
            return self.fields[idx]["name"]
        return self.idd.field_name(self.name, idx)


class _DictInfo:
    """Per-dictionary tables: class names by upper case, in dictionary order,
    and each class's attribute table once asked for."""

    __slots__ = ("idd", "names", "metas", "_groups", "order", "_targets")

    def __init__(self, idd: _IDD) -> None:
        self.idd = idd
        names = idd.class_names()
        self.names = {n.upper(): n for n in names}
        self.order = {n.upper(): i for i, n in enumerate(names)}
        self.metas: dict[str, _ClassMeta] = {}
        self._groups = None
        self._targets = None

    def meta(self, upper: str) -> _ClassMeta:
        meta = self.metas.get(upper)
        if meta is None:
            meta = self.metas[upper] = _ClassMeta(self.idd, self.names[upper])
        return meta

    def list_targets(self) -> dict[str, list[tuple[int, str, int]]]:
        """{reference list: [(class order, class name, field index)]}: where
        the names an object list points at are defined."""
        if self._targets is None:
            targets: dict[str, list] = {}
            for order, name in enumerate(self.idd.class_names()):
                for i, field in enumerate(self.idd.class_info(name)["fields"]):
                    for ref in field["references"]:
                        targets.setdefault(ref, []).append((order, name, i))
            self._targets = targets
        return self._targets

    def groups(self) -> dict[str, list[str]]:
        if self._groups is None:
            groups: dict[str, list[str]] = {}
            for name in self.idd.class_names():
                groups.setdefault(self.idd.class_info(name)["group"], []).append(name)
            self._groups = groups
        return self._groups


_DICT_INFOS: dict[int, _DictInfo] = {}


def _dict_info(idd: _IDD) -> _DictInfo:
    info = _DICT_INFOS.get(id(idd))
    if info is None or info.idd is not idd:
        info = _DICT_INFOS[id(idd)] = _DictInfo(idd)
    return info


# --- the process-wide dictionary ----------------------------------------------


class _IddState:
    path = None  # as the script gave it
    idd: _IDD | None = None


_IDD_STATE = _IddState()
# Dictionaries read so far, by absolute path: setting one again after a
# reset (tests) does not read it again.
_IDD_FILES: dict[str, _IDD] = {}


def _read_idd(path) -> _IDD:
    key = os.path.abspath(os.fspath(path))
    idd = _IDD_FILES.get(key)
    if idd is None:
        idd = _IDD_FILES[key] = _IDD.from_file(key)
    return idd


def _reset_idd() -> None:
    """Forget the process-wide dictionary (for tests)."""
    _IDD_STATE.path = None
    _IDD_STATE.idd = None


# --- objects ------------------------------------------------------------------

_GEOMETRY_CLASSES = frozenset(
    n.upper()
    for n in (
        "BuildingSurface:Detailed",
        "Wall:Detailed",
        "RoofCeiling:Detailed",
        "Floor:Detailed",
        "FenestrationSurface:Detailed",
        "Shading:Site:Detailed",
        "Shading:Building:Detailed",
        "Shading:Zone:Detailed",
    )
)


class EpBunch:
    """One object of a model, its fields read and written as attributes
    named after the dictionary's field names (see makefieldname)."""

    __slots__ = ("_core", "_meta", "_idf", "_key", "__weakref__")

    def __getattr__(self, name):
        meta = self._meta
        idx = meta.attrs.get(name)
        if idx is None:
            if name[:2] == "__":
                raise AttributeError(name)
            idx = meta.index(name)
        value = self._core[idx]
        if value is None:
            return ""
        if value.__class__ is str:
            if value in _AUTO_WORDS:
                return self._core._raw_values()[idx]
            kinds = meta.kinds
            if idx >= len(kinds) or kinds[idx] != _TEXT:
                return _typed(meta.kind(idx), value)
        return value

    def __setattr__(self, name, value):
        meta = self._meta
        idx = meta.attrs.get(name)
        if idx is None:
            idx = meta.index(name)
        self._core[idx] = value

    def __delattr__(self, name):
        raise BadEPFieldError(f"fields cannot be deleted: set {name} to '' instead")

    def __getitem__(self, key):
        getter = self._meta.getters.get(key)
        if getter is not None:
            return getter(self)
        if key == "key":
            return self._key
        if isinstance(key, int) and not isinstance(key, bool):
            return self.fieldvalues[key]
        return self.__getattr__(key)

    def __setitem__(self, key, value):
        if isinstance(key, int) and not isinstance(key, bool):
            self.fieldvalues[key] = value
            return
        self.__setattr__(key, value)

    # The object's identity is its equality: two objects with the same
    # values are still two objects of the model.
    __eq__ = object.__eq__
    __hash__ = object.__hash__

    def __dir__(self):
        return sorted(set(object.__dir__(self)) | set(self._meta.fieldnames))

    # -- the object as a whole --

    @property
    def key(self) -> str:
        """The class name as written in the file (upper case for objects
        made by newidfobject)."""
        return self._key

    @property
    def fieldnames(self) -> list[str]:
        """"key" then the attribute name of every field of the class."""
        return list(self._meta.fieldnames)

    objls = fieldnames

    @property
    def fieldvalues(self) -> _FieldValues:
        """[key, value, ...]: the stored values, typed; writes go to the object."""
        return _FieldValues(self)

    obj = fieldvalues

    @property
    def theidf(self):
        """The model holding this object, or None once removed."""
        return self._idf

    def _values(self) -> list:
        meta = self._meta
        return [_typed(meta.kind(i), raw) for i, raw in enumerate(self._core._raw_values())]

    def __repr__(self) -> str:
        meta = self._meta
        raw = self._core._raw_values()
        lines = [f"\n{self._key},"]
        last = len(raw) - 1
        for i, value in enumerate(raw):
            info = meta.field_info(i)
            units = f" {{{info['units']}}}" if info["units"] else ""
            end = ";" if i == last else ","
            lines.append(f"    {(value + end):<26}!- {meta.field_name(i)}{units}")
        if not raw:
            lines[0] = f"\n{self._key};"
        return "\n".join(lines) + "\n"

    __str__ = __repr__

    # -- fields --

    def _index(self, fieldname) -> int:
        return self._meta.index(fieldname)

    def getfieldidd(self, fieldname):
        """What the dictionary says of a field (a dict)."""
        return dict(self._meta.field_info(self._index(fieldname)))

    def getfieldidd_item(self, fieldname, iddkey):
        return self.getfieldidd(fieldname).get(iddkey, [])

    def getunits(self, fieldname) -> str:
        return self._meta.field_info(self._index(fieldname))["units"]

    def isequal(self, fieldname, value, places=7) -> bool:
        """Whether a field holds `value`: numbers to `places` decimals, text
        ignoring case."""
        mine = self[fieldname]
        if isinstance(mine, (int, float)) and not isinstance(value, bool):
            try:
                return almostequal(float(mine), float(value), places)
            except (TypeError, ValueError):
                return False
        return str(mine).upper() == str(value).upper()

    def getrange(self, fieldname) -> dict:
        """The bounds of a numeric field: maximum, minimum, maximum<,
        minimum> (None where absent) and the field's type."""
        try:
            idx = self._meta.index(fieldname)
        except BadEPFieldError:
            raise ValueError(f"unable to find field {fieldname}") from None
        info = self._meta.field_info(idx)
        cast = int if info["type"] == "integer" else float
        result = {"maximum": None, "minimum": None, "maximum<": None, "minimum>": None, "type": info["type"]}

        def as_bound(v):
            if cast is int and float(v).is_integer():
                return int(v)
            return float(v)

        if info["maximum"] is not None:
            result["maximum<" if info["maximum_exclusive"] else "maximum"] = as_bound(info["maximum"])
        if info["minimum"] is not None:
            result["minimum>" if info["minimum_exclusive"] else "minimum"] = as_bound(info["minimum"])
        return result

    def checkrange(self, fieldname):
        """The field's value, or RangeError when it lies outside its bounds."""
        bounds = self.getrange(fieldname)
        value = self[fieldname]
        if not isinstance(value, (int, float)):
            return value
        if bounds["maximum"] is not None and value > bounds["maximum"]:
            raise RangeError(f"Value {value} is not less or equal to the 'maximum' of {bounds['maximum']}")
        if bounds["minimum"] is not None and value < bounds["minimum"]:
            raise RangeError(f"Value {value} is not greater or equal to the 'minimum' of {bounds['minimum']}")
        if bounds["maximum<"] is not None and value >= bounds["maximum<"]:
            raise RangeError(f"Value {value} is not less than the 'maximum<' of {bounds['maximum<']}")
        if bounds["minimum>"] is not None and value <= bounds["minimum>"]:
            raise RangeError(f"Value {value} is not greater than the 'minimum>' of {bounds['minimum>']}")
        return value

    # -- references --

    def get_referenced_object(self, fieldname):
        """The object a field names through its object lists; None for a
        blank, unknown or non-reference field."""
        try:
            idx = self._meta.index(fieldname)
        except BadEPFieldError:
            return None
        if idx >= len(self._core) or not self._meta.field_info(idx)["object_lists"]:
            return None
        found = self._core.get_referenced_object(idx)
        if found is None or self._idf is None:
            return None
        # Several objects may define the name: the first in dictionary
        # class order, then list order, wins.
        idf = self._idf
        value = self._core._raw_values()[idx]
        targets = idf._info.list_targets()
        candidates = sorted({t for name in self._meta.field_info(idx)["object_lists"] for t in targets.get(name, ())})
        upper = value.upper()
        for _, class_name, field in candidates:
            for core in idf._doc.get_objects(class_name):
                raw = core._raw_values()
                if field < len(raw) and raw[field].upper() == upper:
                    return idf._wrap(core)
        return idf._wrap(found)

    def getreferingobjs(self, iddgroups=None, fields=None) -> list:
        """The objects naming this object's Name through its reference
        lists, in dictionary class order, one entry per naming field."""
        idf = self._idf
        meta = self._meta
        idx = meta.attrs.get("Name")
        if idf is None or idx is None or idx >= len(self._core):
            return []
        refs = set(meta.field_info(idx)["references"])
        name = self._core._raw_values()[idx].upper()
        if not refs or not name:
            return []
        groups = set(iddgroups) if iddgroups is not None else None
        wanted = set(fields) if fields is not None else None
        info = idf._info
        seen = {}
        for core in self._core.get_referencing_objects(idx):
            seen.setdefault(id(core), core)
        entries = []
        for core in seen.values():
            other = info.meta(core.class_name.upper())
            if groups is not None and other.group not in groups:
                continue
            count = 0
            for i, raw in enumerate(core._raw_values()):
                if raw.upper() != name:
                    continue
                if wanted is not None:
                    names = other.fieldnames
                    attr = names[i + 1] if i + 1 < len(names) else makefieldname(other.field_name(i))
                    if attr not in wanted:
                        continue
                if refs.intersection(other.field_info(i)["object_lists"]):
                    count += 1
            if count:
                entries.append((info.order[other.upper], core, count))
        if not entries:
            return []
        positions = {}
        result = []
        for order, core, count in sorted(entries, key=lambda e: e[0]):
            cls = core.class_name
            if cls not in positions:
                positions[cls] = {id(c): k for k, c in enumerate(idf._doc.get_objects(cls))}
            result.append((order, positions[cls].get(id(core), 0), core, count))
        result.sort(key=lambda e: (e[0], e[1]))
        wrap = idf._wrap
        return [wrap(core) for _, _, core, count in result for _ in range(count)]

    @property
    def zonesurfaces(self) -> list:
        """The surfaces of this zone."""
        if not self._meta.is_zone:
            raise BadEPFieldError("unable to find field zonesurfaces")
        return self.getreferingobjs(["Thermal Zones and Surfaces"], ["Zone_Name"])

    @property
    def subsurfaces(self) -> list:
        """The subsurfaces of this surface."""
        if not self._meta.has_subsurfaces:
            raise BadEPFieldError("unable to find field subsurfaces")
        return self.getreferingobjs(["Thermal Zones and Surfaces"], ["Building_Surface_Name"])

    # -- geometry --

    def _geometry(self, what: str):
        if not self._meta.is_geometry:
            raise BadEPFieldError(f"unable to find field {what}")

    @property
    def coords(self) -> list[tuple[float, float, float]]:
        """The vertices, as (x, y, z) tuples."""
        self._geometry("coords")
        return _coords(self)

    @property
    def area(self) -> float:
        self._geometry("area")
        return _area(_coords(self))

    @property
    def tilt(self) -> float:
        self._geometry("tilt")
        return _tilt(_coords(self))

    @property
    def azimuth(self) -> float:
        self._geometry("azimuth")
        return _azimuth(_coords(self))

    @property
    def true_azimuth(self) -> float:
        self._geometry("true_azimuth")
        return _true_azimuth(self)

    @property
    def width(self) -> float:
        self._geometry("width")
        return _width_height(_coords(self))[0]

    @property
    def height(self) -> float:
        self._geometry("height")
        return _width_height(_coords(self))[1]


class _FieldValues(MutableSequence):
    """[key, value, ...] of one object; writes go to the object."""

    __slots__ = ("_bunch",)

    def __init__(self, bunch: EpBunch) -> None:
        self._bunch = bunch

    def _list(self) -> list:
        return [self._bunch._key, *self._bunch._values()]

    def __len__(self) -> int:
        return len(self._bunch._core) + 1

    def __getitem__(self, i):
        return self._list()[i]

    def __setitem__(self, i, value):
        if isinstance(i, slice):
            raise TypeError("set the fields one at a time")
        n = len(self)
        if i < 0:
            i += n
        if i == 0:
            raise TypeError("the key of an object cannot be changed")
        if i < 0:
            raise IndexError("field index out of range")
        self._bunch._core[i - 1] = value

    def __delitem__(self, i):
        raise TypeError("fields cannot be deleted: set them to '' instead")

    def insert(self, i, value):
        if i < len(self):
            raise TypeError("fields can only be added at the end")
        self._bunch._core[len(self._bunch._core)] = value

    def __eq__(self, other):
        if isinstance(other, (list, tuple, _FieldValues)):
            return self._list() == list(other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return repr(self._list())


def _text_getter(idx: int):
    def get(self):
        value = self._core[idx]
        return "" if value is None else value

    return get


def _number_getter(idx: int, kind: int):
    def get(self):
        value = self._core[idx]
        if value is None:
            return ""
        if value.__class__ is str:
            if value in _AUTO_WORDS:
                return self._core._raw_values()[idx]
            return _typed(kind, value)
        return value

    return get


def _bunch_type(meta: _ClassMeta) -> type:
    """The EpBunch subclass of one class of a dictionary: each declared
    field is a property, so that reading one costs a property call and no
    failed attribute lookup. Later extensible groups go through
    EpBunch.__getattr__; writes through EpBunch.__setattr__."""
    namespace: dict = {"__slots__": ()}
    for attr, idx in meta.attrs.items():
        if hasattr(EpBunch, attr):
            continue  # the object's own attributes come first
        kind = meta.kinds[idx]
        getter = _text_getter(idx) if kind == _TEXT else _number_getter(idx, kind)
        meta.getters[attr] = getter
        namespace[attr] = property(getter)
    cls = type("EpBunch", (EpBunch,), namespace)
    cls.__qualname__ = f"EpBunch[{meta.name}]"
    meta.bunch_type = cls
    return cls


# --- geometry -------------------------------------------------------------------


def _coords(bunch: EpBunch) -> list[tuple[float, float, float]]:
    meta = bunch._meta
    count_idx = meta.attrs.get("Number_of_Vertices")
    raw = bunch._core._raw_values()
    start = count_idx + 1 if count_idx is not None else meta.ext_begin
    values = []
    for text in raw[start:]:
        try:
            values.append(float(text))
        except ValueError:
            raise ValueError(f"{bunch._key} {raw[0]!r}: vertex coordinate {text!r} is not a number") from None
    return [tuple(values[i : i + 3]) for i in range(0, len(values) - 2, 3)]


def _sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def _cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def _dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def _norm(a):
    return math.sqrt(_dot(a, a))


def _unit_normal(a, b, c):
    n = _cross(_sub(b, a), _sub(c, a))
    length = _norm(n)
    if length == 0.0:
        return None
    return (n[0] / length, n[1] / length, n[2] / length)


def _angle(u, v) -> float:
    """The angle between two vectors in degrees; exact where the cosine is
    exactly 0 or +-1, so that aligned surfaces compare equal."""
    cos = _dot(u, v) / (_norm(u) * _norm(v))
    cos = max(-1.0, min(1.0, cos))
    if cos == 0.0:
        return 90.0
    return math.degrees(math.acos(cos))


def _area(coords) -> float:
    n = len(coords)
    if n < 3:
        return 0.0
    total = (0.0, 0.0, 0.0)
    for i in range(n):
        c = _cross(coords[i], coords[(i + 1) % n])
        total = (total[0] + c[0], total[1] + c[1], total[2] + c[2])
    for i in range(n):
        unit = _unit_normal(coords[i], coords[(i + 1) % n], coords[(i + 2) % n])
        if unit is not None:
            return abs(_dot(total, unit)) / 2.0
    return 0.0


def _surface_normal(coords):
    if len(coords) < 3:
        return None
    return _unit_normal(coords[0], coords[1], coords[-1])


def _tilt(coords) -> float:
    n = _surface_normal(coords)
    if n is None:
        return 0.0
    return _angle(n, (0.0, 0.0, 1.0))


def _azimuth(coords) -> float:
    n = _surface_normal(coords)
    if n is None or (n[0] == 0.0 and n[1] == 0.0):
        return 0.0
    a = _angle((n[0], n[1], 0.0), (0.0, 1.0, 0.0))
    return 360.0 - a if n[0] < 0 else a


def _number(value) -> float:
    if value == "" or value is None:
        return 0.0
    try:
        return float(value)
    except (TypeError, ValueError):
        return 0.0


def _true_azimuth(bunch: EpBunch) -> float:
    azimuth = _azimuth(_coords(bunch))
    idf = bunch._idf
    if idf is None:
        return azimuth
    rules = idf.idfobjects["GLOBALGEOMETRYRULES"]
    if not rules or str(rules[0]["Coordinate_System"]).upper() != "RELATIVE":
        return azimuth
    buildings = idf.idfobjects["BUILDING"]
    north = _number(buildings[0]["North_Axis"]) if buildings else 0.0
    zone_north = 0.0
    if "Zone_Name" in bunch._meta.attrs:
        zone = idf.getobject("ZONE", bunch["Zone_Name"])
        if zone is not None:
            zone_north = _number(zone["Direction_of_Relative_North"])
    return (north + zone_north + azimuth) % 360.0


def _dist(a, b) -> float:
    return _norm(_sub(a, b))


def _width_height(coords):
    if len(coords) < 3:
        return 0.0, 0.0
    v0, v1, vl = coords[0], coords[1], coords[-1]
    d_last = abs(vl[2] - v0[2])
    d_one = abs(v1[2] - v0[2])
    a, b = _dist(vl, v0), _dist(v1, v0)
    if d_last < d_one:
        return a, b
    if d_last > d_one:
        return b, a
    return max(a, b), min(a, b)


def _zone_surfaces(idf, zone):
    name = zone if isinstance(zone, str) else zone.Name
    found = idf.getobject("ZONE", name)
    if found is None:
        raise KeyError(f"no Zone named {name!r}")
    upper = str(found.Name).upper()
    result = []
    for surface in idf.idfobjects["BUILDINGSURFACE:DETAILED"]:
        if str(surface.Zone_Name).upper() == upper:
            result.append((str(surface.Surface_Type).upper(), surface.coords))
    return result


def zonearea(idf, zone) -> float:
    """The floor area of a zone: its floors, else its roofs and ceilings."""
    surfaces = _zone_surfaces(idf, zone)
    floors = [_area(c) for t, c in surfaces if t == "FLOOR"]
    if floors:
        return sum(floors)
    return sum(_area(c) for t, c in surfaces if t in ("ROOF", "CEILING"))


def zoneheight(idf, zone) -> float:
    """The height of a zone: from its lowest floor vertex to its highest roof
    or ceiling vertex, else across all its vertices."""
    surfaces = _zone_surfaces(idf, zone)
    kinds = {t for t, _ in surfaces}
    if "FLOOR" in kinds and "ROOF" in kinds:
        top = max(v[2] for t, c in surfaces if t in ("ROOF", "CEILING") for v in c)
        bottom = min(v[2] for t, c in surfaces if t == "FLOOR" for v in c)
        return top - bottom
    zs = [v[2] for _, c in surfaces for v in c]
    return max(zs) - min(zs) if zs else 0.0


def zonevolume(idf, zone) -> float:
    """zonearea * zoneheight."""
    return zonearea(idf, zone) * zoneheight(idf, zone)


# --- per-class lists ----------------------------------------------------------


class Idf_MSequence(MutableSequence):
    """The objects of one class of a model, always as the model holds them:
    adding and removing through the list changes the model, and objects
    added or removed by any other route show here."""

    __slots__ = ("_idf", "_upper", "_name", "_cache", "_gen")

    def __init__(self, idf: IDF, upper: str) -> None:
        self._idf = idf
        self._upper = upper
        self._name = idf._info.names[upper]
        self._cache: list = []
        self._gen = -1

    def _items(self) -> list:
        idf = self._idf
        gen = idf._gens.get(self._upper, 0)
        if self._gen != gen:
            wrap = idf._wrap
            self._cache = [wrap(c) for c in idf._doc.get_objects(self._name)]
            self._gen = gen
        return self._cache

    def __len__(self) -> int:
        return len(self._items())

    def __getitem__(self, i):
        return self._items()[i]

    def __iter__(self):
        return iter(self._items())

    def __reversed__(self):
        return reversed(self._items())

    def __contains__(self, obj) -> bool:
        return any(o is obj for o in self._items())

    def index(self, obj, start=0, stop=None) -> int:
        items = self._items()
        stop = len(items) if stop is None else stop
        for i in range(*slice(start, stop).indices(len(items))):
            if items[i] is obj:
                return i
        raise ValueError(f"{obj!r} is not in the list")

    def count(self, obj) -> int:
        return sum(1 for o in self._items() if o is obj)

    def _position(self, i: int, n: int) -> int:
        if i < 0:
            i += n
        return min(max(i, 0), n)

    def insert(self, i, obj) -> None:
        n = len(self)
        self._idf._insert(self._upper, self._position(i, n), obj)

    def append(self, obj) -> None:
        self._idf._insert(self._upper, len(self), obj)

    def extend(self, objs) -> None:
        if objs is self:
            objs = list(objs)
        for obj in objs:
            self.append(obj)

    def __iadd__(self, objs):
        self.extend(objs)
        return self

    def __setitem__(self, i, obj) -> None:
        items = self._items()
        if isinstance(i, slice):
            old = items[i]
            new = list(obj)
            if i.step not in (None, 1) and len(new) != len(old):
                raise ValueError(f"attempt to assign sequence of size {len(new)} to extended slice of size {len(old)}")
            start = i.indices(len(items))[0]
            for o in old:
                self._idf.removeidfobject(o)
            for k, o in enumerate(new):
                self.insert(start + k, o)
            return
        old = items[i]
        if obj is old:
            return
        position = items.index(old)
        self._idf._check_insertable(self._upper, obj)
        self._idf.removeidfobject(old)
        self._idf._insert(self._upper, position, obj)

    def __delitem__(self, i) -> None:
        items = self._items()
        if isinstance(i, slice):
            for o in items[i]:
                self._idf.removeidfobject(o)
            return
        self._idf.removeidfobject(items[i])

    def pop(self, i=-1):
        obj = self._items()[i]
        self._idf.removeidfobject(obj)
        return obj

    def remove(self, obj) -> None:
        self._idf.removeidfobject(self[self.index(obj)])

    def clear(self) -> None:
        self._idf.removeallidfobjects(self._upper)

    def __eq__(self, other):
        if isinstance(other, (list, tuple, Idf_MSequence)):
            return self._items() == list(other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return "[" + ", ".join(repr(o) for o in self._items()) + "]"

    __str__ = __repr__


class _IdfObjects(MutableMapping):
    """Every class of the dictionary (upper case, dictionary order) to its
    live list; names in any case; an unknown class raises KeyError."""

    __slots__ = ("_idf", "_lists")

    def __init__(self, idf: IDF) -> None:
        self._idf = idf
        self._lists: dict[str, Idf_MSequence] = {}

    def __getitem__(self, key) -> Idf_MSequence:
        lst = self._lists.get(key)
        if lst is not None:
            return lst
        upper = key.upper() if isinstance(key, str) else key
        lst = self._lists.get(upper)
        if lst is None:
            if upper not in self._idf._info.names:
                raise KeyError(key)
            lst = self._lists[upper] = Idf_MSequence(self._idf, upper)
        if key != upper:
            self._lists[key] = lst  # another spelling of the same class
        return lst

    def __contains__(self, key) -> bool:
        return isinstance(key, str) and key.upper() in self._idf._info.names

    def __iter__(self):
        return iter(self._idf._info.names)

    def __len__(self) -> int:
        return len(self._idf._info.names)

    def __setitem__(self, key, objs) -> None:
        lst = self[key]
        objs = list(objs)
        lst.clear()
        lst.extend(objs)

    def __delitem__(self, key) -> None:
        self[key].clear()

    def pop(self, key, *default):
        try:
            lst = self[key]
        except KeyError:
            if default:
                return default[0]
            raise
        objs = list(lst)
        lst.clear()
        return objs

    def __repr__(self) -> str:
        return "{" + ", ".join(f"{k!r}: {self[k]!r}" for k in self if len(self[k])) + "}"


# --- the model ------------------------------------------------------------------

_CLASS_NAME_AT = re.compile(r"(?:\A|(?<=;))\s*([^,;]*?)\s*(?=[,;])")
_COMMENT = re.compile(r"!.*")


def _decode(data: bytes) -> tuple[str, str]:
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8"), "utf-8"
    for encoding in ("utf-8", "cp1252", "latin-1"):
        try:
            return data.decode(encoding), encoding
        except UnicodeDecodeError:
            continue
    raise AssertionError("latin-1 decodes every byte")


_LINE_ENDINGS = {"default": os.linesep, "windows": "\r\n", "unix": "\n"}


class IDF:
    """A model, read from a path, an open file or a StringIO/BytesIO, or
    empty (idfname None). The dictionary is process-wide: set it with
    IDF.setiddname() first."""

    def __init__(self, idfname=None, epw=None) -> None:
        idd = _IDD_STATE.idd
        if idd is None:
            raise IDDNotSetError("IDD file needed to read the idf file. Set it with IDF.setiddname(iddfile)")
        self._set_up(idd)
        self.epw = epw
        text, encoding = "", "utf-8"
        if idfname is None:
            pass
        elif isinstance(idfname, (str, os.PathLike)):
            with open(os.fspath(idfname), "rb") as f:
                text, encoding = _decode(f.read())
        elif hasattr(idfname, "read"):
            content = idfname.read()
            if isinstance(content, bytes):
                text, encoding = _decode(content)
            elif isinstance(content, str):
                text = content
                encoding = getattr(idfname, "encoding", None) or "utf-8"
            else:
                raise TypeError(f"reading the model gave {type(content).__name__}, not text or bytes")
        else:
            raise TypeError(f"idfname must be a path, an open file or None, not {type(idfname).__name__}")
        self._doc = _CoreIDF.from_string(idd, text)
        self._encoding = encoding
        self.idfname = idfname
        if text:
            self._read_spellings(text)

    def _set_up(self, idd: _IDD) -> None:
        self._info = _dict_info(idd)
        self._wrappers: dict = {}  # core object -> EpBunch, while attached
        self._spell: dict = {}  # core object -> class name as written, where not the dictionary's
        self._gens: dict[str, int] = {}  # per class: bumped when its list changes
        self.idfobjects = _IdfObjects(self)
        self.epw = None
        self._idfname = None
        self.idfabsname = None
        self._encoding = "utf-8"

    def _read_spellings(self, text: str) -> None:
        """Remembers how the file wrote each class name that it does not
        write as the dictionary does."""
        names = self._info.names
        counts: dict[str, int] = {}
        differing = []
        for written in _CLASS_NAME_AT.findall(_COMMENT.sub("", text)):
            if not written:
                continue
            upper = written.upper()
            k = counts.get(upper, 0)
            counts[upper] = k + 1
            name = names.get(upper)
            if name is not None and written != name:
                differing.append((name, k, written))
        by_class: dict[str, tuple] = {}
        for name, k, written in differing:
            objs = by_class.get(name)
            if objs is None:
                objs = by_class[name] = self._doc.get_objects(name)
            if k < len(objs):
                self._spell[objs[k]] = written

    # -- the dictionary --

    @classmethod
    def setiddname(cls, iddname, testing=False) -> None:
        """Sets the process-wide dictionary; setting another one later
        raises IDDAlreadySetError (ignored with testing=True)."""
        if _IDD_STATE.path is None:
            _IDD_STATE.idd = _read_idd(iddname)
            _IDD_STATE.path = iddname
        elif iddname == _IDD_STATE.path:
            return
        elif not testing:
            raise IDDAlreadySetError(f"IDD file is set to: {_IDD_STATE.path}")

    @classmethod
    def getiddname(cls):
        return _IDD_STATE.path

    @classmethod
    def resetidd(cls) -> None:
        raise IDDResetError("the dictionary is set once per process and cannot be reset")

    @property
    def iddname(self):
        return _IDD_STATE.path

    @property
    def idd_version(self) -> tuple[int, ...]:
        version = self._doc._idd.version or ""
        return tuple(int(p) for p in re.findall(r"\d+", version))

    # -- names --

    @property
    def idfname(self):
        return self._idfname

    @idfname.setter
    def idfname(self, value) -> None:
        self._idfname = value
        if isinstance(value, (str, os.PathLike)):
            self.idfabsname = os.path.abspath(os.fspath(value))
        else:
            self.idfabsname = None

    # -- objects --

    def _wrap(self, core) -> EpBunch:
        bunch = self._wrappers.get(core)
        if bunch is None:
            meta = self._info.meta(core.class_name.upper())
            bunch = object.__new__(meta.bunch_type or _bunch_type(meta))
            object.__setattr__(bunch, "_core", core)
            object.__setattr__(bunch, "_meta", meta)
            object.__setattr__(bunch, "_idf", self)
            object.__setattr__(bunch, "_key", self._spell.get(core, meta.name))
            self._wrappers[core] = bunch
        return bunch

    def _upper(self, key) -> str:
        upper = key.upper() if isinstance(key, str) else None
        if upper not in self._info.names:
            raise KeyError(f"unknown class {key!r}")
        return upper

    def _changed(self, upper: str) -> None:
        self._gens[upper] = self._gens.get(upper, 0) + 1

    def _owns(self, bunch) -> bool:
        return isinstance(bunch, EpBunch) and bunch._idf is self and self._wrappers.get(bunch._core) is bunch

    def newidfobject(self, key, defaultvalues=True, **kwargs) -> EpBunch:
        """Adds an object of a class at the end of it, fields given as
        attribute names; nothing is added when any of them is wrong."""
        upper = key.upper() if isinstance(key, str) else None
        if upper not in self._info.names:
            raise ValueError(f"unknown class {key!r}")
        meta = self._info.meta(upper)
        writes = {meta.index(attr): value for attr, value in kwargs.items()}
        core = self._doc.add_object(meta.name, writes or None, default_values=bool(defaultvalues))
        raw = core._raw_values()
        if raw and raw[-1] == "":
            core.update({}, True)
        self._spell[core] = upper
        self._changed(upper)
        return self._wrap(core)

    def _copy_in(self, upper: str, bunch: EpBunch):
        meta = self._info.meta(upper)
        core = self._doc.add_object(meta.name, bunch._core._raw_values(), default_values=False)
        if bunch._key != meta.name:
            self._spell[core] = bunch._key
        return core

    def copyidfobject(self, idfobject) -> EpBunch:
        """Appends a copy of an object (of this model or another with the
        same dictionary) and returns it."""
        if not isinstance(idfobject, EpBunch):
            raise TypeError(f"expected an object of a model, got {type(idfobject).__name__}")
        upper = self._upper(idfobject._meta.name)
        core = self._copy_in(upper, idfobject)
        self._changed(upper)
        return self._wrap(core)

    def _check_insertable(self, upper: str, obj) -> None:
        if not isinstance(obj, EpBunch):
            raise TypeError(f"expected an object of a model, got {type(obj).__name__}")
        if obj._meta.upper != upper:
            raise ValueError(f"a {obj._meta.name} object cannot join the {self._info.names[upper]} list")
        if self._owns(obj):
            raise ValueError(f"the {obj._meta.name} object {obj._core._raw_values()[:1]} is in this model already")

    def _insert(self, upper: str, position: int, obj) -> None:
        self._check_insertable(upper, obj)
        core = obj._core
        attached = False
        if obj._idf is None:
            try:
                self._doc._attach(core)
                attached = True
            except ValueError:
                pass  # another dictionary: copied in below
        if attached:
            if obj._key != obj._meta.name:
                self._spell[core] = obj._key
            object.__setattr__(obj, "_idf", self)
            self._wrappers[core] = obj
            bunch = obj
        else:
            bunch = self._wrap(self._copy_in(upper, obj))
        self._changed(upper)
        self._doc._place(bunch._core, position)

    def _detach(self, bunch: EpBunch) -> None:
        self._wrappers.pop(bunch._core, None)
        self._spell.pop(bunch._core, None)
        object.__setattr__(bunch, "_idf", None)
        self._changed(bunch._meta.upper)

    def popidfobject(self, key, index) -> EpBunch:
        """Removes the object at `index` of a class and returns it."""
        return self.idfobjects[key].pop(index)

    def removeidfobject(self, idfobject) -> None:
        """Removes an object of this model (ValueError for any other)."""
        if not self._owns(idfobject):
            raise ValueError(f"not an object of this model: {idfobject!r}")
        self._doc.remove_object(idfobject._core)
        self._detach(idfobject)

    def removeallidfobjects(self, idfobject) -> None:
        """Removes every object of a class (KeyError for an unknown class)."""
        upper = self._upper(idfobject)
        name = self._info.names[upper]
        for core in self._doc.get_objects(name):
            bunch = self._wrappers.get(core)
            if bunch is not None:
                self._detach(bunch)
            self._spell.pop(core, None)
        self._doc.remove_all_objects(name)
        self._changed(upper)

    def getobject(self, key, name):
        """The first object of a class whose first field is `name` (any
        case), or None; KeyError for an unknown class."""
        upper = self._upper(key)
        core = self._doc.get_object_by_name(self._info.names[upper], str(name))
        return None if core is None else self._wrap(core)

    def getiddgroupdict(self) -> dict[str, list[str]]:
        """{group: [class names]} in dictionary order."""
        return {g: list(c) for g, c in self._info.groups().items()}

    def rename(self, objkey, oldname, newname) -> EpBunch:
        """Renames an object and every reference to it."""
        return rename(self, objkey, oldname, newname)

    # -- text and files --

    def idfstr(self) -> str:
        """The model as text, in dictionary class order."""
        return self._doc.format()

    def printidf(self) -> None:
        print(self.idfstr())

    def _text(self, lineendings: str) -> str:
        if lineendings not in _LINE_ENDINGS:
            raise ValueError(f"lineendings must be 'default', 'windows' or 'unix', not {lineendings!r}")
        text = "!- Written by tamrix\n" + self.idfstr().lstrip("\n")
        if not text.endswith("\n"):
            text += "\n"
        end = _LINE_ENDINGS[lineendings]
        return text if end == "\n" else text.replace("\n", end)

    def save(self, filename=None, lineendings="default", encoding=None) -> None:
        """Writes the model to `filename` (a path or an open file), or to
        idfname; in the encoding it was read with unless one is given."""
        if filename is None:
            filename = self.idfname
            if filename is None:
                raise ValueError("the model has no file name: give one to save() or saveas()")
        text = self._text(lineendings)
        encoding = encoding or self._encoding
        if isinstance(filename, (str, bytes, os.PathLike)):
            _write_file(filename, text.encode(encoding))
        elif isinstance(filename, io.TextIOBase):
            filename.write(text)
        elif hasattr(filename, "write"):
            if "b" in getattr(filename, "mode", "b"):
                filename.write(text.encode(encoding))
            else:
                filename.write(text)
        else:
            raise TypeError(f"cannot save to {type(filename).__name__}")

    def saveas(self, filename, lineendings="default", encoding=None) -> None:
        """Saves to `filename`, which becomes the model's idfname."""
        self.idfname = filename
        self.save(filename, lineendings=lineendings, encoding=encoding)

    def savecopy(self, filename, lineendings="default", encoding=None) -> None:
        """Saves to `filename`, leaving idfname as it is."""
        self.save(filename, lineendings=lineendings, encoding=encoding)

    def run(self, *args, **kwargs):
        raise NotImplementedError("tamrix does not run simulations: save the model and run the engine on the file")

    def __deepcopy__(self, memo):
        new = object.__new__(type(self))
        new._set_up(self._doc._idd)
        new._doc = _copy_core(self._doc)
        new.epw = self.epw
        new._idfname = self._idfname
        new.idfabsname = self.idfabsname
        new._encoding = self._encoding
        by_class: dict[str, list] = {}
        for core, written in self._spell.items():
            by_class.setdefault(core.class_name, []).append((core, written))
        for name, entries in by_class.items():
            old = {id(c): k for k, c in enumerate(self._doc.get_objects(name))}
            fresh = new._doc.get_objects(name)
            for core, written in entries:
                k = old.get(id(core))
                if k is not None and k < len(fresh):
                    new._spell[fresh[k]] = written
        memo[id(self)] = new
        return new

    def __copy__(self):
        return self.__deepcopy__({})


def _copy_core(doc):
    import copy

    return copy.deepcopy(doc)


def copyidf(idf: IDF) -> IDF:
    """An independent copy of a model."""
    return idf.__deepcopy__({})


# --- renaming ---------------------------------------------------------------------


def _rename_object(bunch: EpBunch, newname: str) -> int:
    """Renames an object and every field naming it; the number of fields
    changed besides the name. Uses the model's own rename when it has one."""
    core = bunch._core
    native = getattr(core, "rename", None)
    if native is not None:
        return native(newname)
    idf = bunch._idf
    meta = bunch._meta
    old = core._raw_values()[0] if len(core) else ""
    if idf is not None and str(newname).upper() != old.upper():
        taken = idf._doc.get_object_by_name(meta.name, str(newname))
        if taken is not None and taken is not core:
            raise ValueError(f"a {meta.name} named {newname!r} exists already")
    refs = set(meta.field_info(0)["references"])
    changed = 0
    if idf is not None and refs and old:
        upper = old.upper()
        referring = {id(c): c for c in core.get_referencing_objects(0)}
        for other in referring.values():
            other_meta = idf._info.meta(other.class_name.upper())
            writes = {
                i: newname
                for i, raw in enumerate(other._raw_values())
                if raw.upper() == upper and refs.intersection(other_meta.field_info(i)["object_lists"])
            }
            if writes:
                other.update(writes, False)
                changed += len(writes)
    core[0] = newname
    return changed


def rename(idf: IDF, objkey, oldname, newname) -> EpBunch:
    """Renames the `objkey` object named `oldname` (any case) and every
    reference to it; returns the object. KeyError when there is none."""
    obj = idf.getobject(objkey, oldname)
    if obj is None:
        raise KeyError(f"no {objkey} named {oldname!r}")
    _rename_object(obj, newname)
    return obj


# --- opening ---------------------------------------------------------------------


def easyopen(fname, idd=None, epw=None) -> IDF:
    """Opens a model, finding the dictionary for its Version when none is
    given (and none is set)."""
    if idd is not None:
        IDF.setiddname(idd)
        return IDF(fname, epw=epw)
    if isinstance(fname, (str, os.PathLike)):
        path = os.fspath(fname)
        try:
            version = _discovery.read_model_version(path)
        except _discovery.DiscoveryError as exc:
            if not os.path.exists(path):
                raise FileNotFoundError(2, "No such file or directory", path) from None
            raise MissingIDDException(str(exc)) from None
        source = fname
        label = path
    else:
        content = fname.read()
        data = content.encode("utf-8") if isinstance(content, str) else content
        version = _model_version(data)
        source = io.BytesIO(data)
        label = getattr(fname, "name", "<stream>")
    if version is None:
        raise MissingIDDException(f"{label}: the model has no Version object; give idd=")
    wanted = _discovery.major_minor(version)
    current = _IDD_STATE.idd
    if current is None or _discovery.major_minor(current.version) != wanted:
        try:
            found = _discovery.find_dictionary(version, str(label))
        except _discovery.DiscoveryError as exc:
            raise MissingIDDException(f"no dictionary found for version {version}: {exc}") from None
        IDF.setiddname(found)
    model = IDF(source, epw=epw)
    if source is not fname:
        model.idfname = fname
    return model
