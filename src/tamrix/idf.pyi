"""The IDF document model."""

from collections.abc import Iterator
from typing import Any, Literal, Self, TypeVar, overload

from _typeshed import StrOrBytesPath


from tamrix.idd import IDD

# A field as read: int or float for numbers, "Autosize" / "Autocalculate",
# None for a blank numeric field, str otherwise (and for unparsable numbers).
FieldValue = str | int | float | None
# What a field accepts: bool is written as Yes / No, None or "" blanks it.
SettableValue = str | int | float | bool | None

# Values as literals ([...] or {...}) take their type from _Values; lists
# and dicts typed elsewhere (list[str], dict[str, float]) match the TypeVars.
_Values = list[SettableValue] | dict[int | str, SettableValue]
_V = TypeVar("_V", bound=SettableValue)
_K = TypeVar("_K", bound=int | str)

class IDFObject:
    """One object of an IDF document."""

    def __init__(self, idd: IDD, class_name: str) -> None:
        """A detached object of a class, with its minimum number of fields."""

    @property
    def class_name(self) -> str:
        """The object's class name, as the dictionary spells it."""

    def __getitem__(self, key: int | str) -> FieldValue:
        """A field's value by index or field name (case-insensitive). Every
        stored value has an index, and so has every later group of an
        extensible class (blank past the stored values)."""

    def __setitem__(self, key: int | str, value: SettableValue) -> None:
        """Set a field by index or field name (case-insensitive). Outer
        blanks are dropped; a control character other than tab is refused
        (ValueError)."""

    def __len__(self) -> int:
        """The number of stored values."""

    def __iter__(self) -> Iterator[FieldValue]:
        """The stored values, typed, as they are when iteration starts."""

    def __bool__(self) -> bool:
        """Always True, even for an object with no values."""

    def get_values(self) -> list[FieldValue]:
        """All field values, typed by the field definitions."""

    @overload
    def update(self, values: _Values | None, trim_empty_trails: bool = True) -> None:
        """Set several fields: [value, ...] from the first field, or
        {field index or name: value}. All or nothing: every key is resolved
        and every value converted before any field changes."""

    @overload
    def update(self, values: list[_V] | dict[_K, _V], trim_empty_trails: bool = True) -> None: ...

    def get_referenced_object(self, key: int | str) -> IDFObject | None:
        """The object the field's value names, through its object lists."""

    def get_referencing_objects(self, key: int | str) -> IDFObjectTuple:
        """The objects whose fields name this field's value."""

    def get_referencing_fields(self, key: int | str = "Name") -> list[tuple[IDFObject, str]]:
        """Each field that names this field's value through one of its
        reference lists: (object, field name), once per field."""

    def rename(self, new_name: SettableValue) -> int:
        """Set the first field and rewrite every field of the model that
        names the old value through one of its reference lists; the number
        of those fields rewritten. The name is checked as a field write; a
        blank name, or one another object of the class already has (any
        letter case), raises ValueError and changes nothing."""

    def _raw_values(self) -> list[str]: ...
    def _source_lines(self) -> tuple[int, ...] | None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: Any, /) -> None: ...

class IDFObjectTuple(tuple[IDFObject, ...]):
    """A read-only tuple of objects; append, remove and the like raise
    AttributeError pointing to the IDF's own methods."""

class IDF:
    """An IDF document. Use IDF.from_file() or IDF.from_string(); calling
    IDF() raises TypeError."""

    @property
    def _idd(self) -> IDD: ...
    @classmethod
    def from_file(cls, idd: IDD, filepath: StrOrBytesPath | int, encoding: str | None = None) -> Self:
        """Parse an IDF or epJSON file (epJSON: its first character that is
        not blank is '{'; UTF-8 only). Without an encoding, IDF text that is
        not UTF-8 is read as Windows-1252."""

    @classmethod
    def from_string(cls, idd: IDD, content: str) -> Self:
        """Parse IDF or epJSON text."""

    def get_objects(self, class_name: str) -> IDFObjectTuple:
        """The objects of a class (any letter case), in insertion order."""

    def __getitem__(self, class_name: str) -> IDFObjectTuple:
        """Alias of get_objects(class_name)."""

    def get_object_by_name(self, class_name: str, obj_name: str) -> IDFObject | None:
        """The first object of a class whose first field is obj_name
        (ASCII case-insensitive), or None."""

    def get_class_names(self) -> list[str]:
        """The classes that have objects in the document."""

    @overload
    def add_object(
        self, class_name: str, initial_values: _Values | None = None, default_values: bool = True
    ) -> IDFObject:
        """Add an object: defaults first (unless default_values is False),
        then the initial values ([value, ...] or {index or name: value}).
        All or nothing: on any error the model is left as it was."""

    @overload
    def add_object(
        self, class_name: str, initial_values: list[_V] | dict[_K, _V], default_values: bool = True
    ) -> IDFObject: ...

    def remove_object(self, obj: IDFObject) -> None:
        """Remove an object of this document (ValueError for any other)."""

    def remove_all_objects(self, class_name: str) -> int:
        """Remove every object of a class; the number removed."""

    def copy_object(self, obj: IDFObject, new_name: SettableValue = None) -> IDFObject:
        """Append a new object with obj's values (obj from this model, from
        another model with the same dictionary, or free-standing), its first
        field set to new_name when given. ValueError for an object of
        another dictionary."""

    def format(
        self,
        class_indent_size: int = 0,
        field_indent_size: int = 4,
        field_size: int = 24,
        *,
        compact: bool = False,
        preserve_order: bool = False,
        keep_comments: bool = False,
        original_layout: bool = False,
    ) -> str:
        """The document as text: the standard layout, or one object a line
        when compact; dictionary order unless preserve_order."""

    def to_epjson(self) -> str:
        """The document as epJSON, as the engine converts IDF (keys sorted,
        4-space indentation, no final line break). ValueError for what
        epJSON cannot hold: two objects of a class with one name, values past
        a class's declared fields, values of fields the dictionary leaves
        unnamed."""

    def save(
        self,
        output_path: StrOrBytesPath | int,
        class_indent_size: int = 0,
        field_indent_size: int = 4,
        field_size: int = 24,
        *,
        compact: bool = False,
        preserve_order: bool = False,
        include_timestamp: bool = True,
        keep_comments: bool = False,
        original_layout: bool = False,
        encoding: str | None = None,
        file_format: Literal["idf", "epjson"] | None = None,
    ) -> None:
        """Write the document to a file (atomically replaced) or a file
        descriptor, after a header line and, unless disabled, a time stamp.
        epJSON (UTF-8, no header) when file_format is "epjson" or, with
        file_format None, when the path ends in .epJSON (any case)."""

    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: Any, /) -> None: ...
    def _full_state(self) -> tuple[Any, ...]: ...

def _restore_IDF(cls: type[IDF], checksum: Any, state: Any) -> IDF: ...
def _restore_IDFObject(cls: type[IDFObject], checksum: Any, state: Any) -> IDFObject: ...

_C_API: object
