"""The IDD data dictionary.

FieldInfo, ExtensibleInfo and ClassInfo describe what `IDD.class_info`
returns; they exist for type checking only (import them under
`typing.TYPE_CHECKING`).
"""

from os import PathLike
from typing import Any, Literal, Self, TypedDict



FieldType = Literal["", "integer", "real", "alpha", "choice", "object-list", "node"]

class FieldInfo(TypedDict):
    name: str
    code: str
    type: FieldType
    required: bool
    units: str
    default: str
    autosizable: bool
    autocalculatable: bool
    choices: list[str]
    references: list[str]
    object_lists: list[str]
    minimum: float | None
    minimum_exclusive: bool
    maximum: float | None
    maximum_exclusive: bool

class ExtensibleInfo(TypedDict):
    begin: int
    size: int

class ClassInfo(TypedDict):
    name: str
    group: str
    min_fields: int
    unique_object: bool
    required_object: bool
    extensible: ExtensibleInfo | None
    fields: list[FieldInfo]

class IDD:
    """An IDD data dictionary. Use IDD.from_file() or IDD.from_string();
    calling IDD() raises TypeError."""

    @classmethod
    def from_file(cls, path: str | bytes | PathLike[str] | PathLike[bytes]) -> Self:
        """Read a dictionary from an IDD file (str or path-like)."""

    @classmethod
    def from_string(cls, text: str) -> Self:
        """Read a dictionary from IDD text."""

    @property
    def version(self) -> str | None:
        """The dictionary's version (from its first line), or None."""

    @property
    def digest(self) -> str | None:
        """A digest of the dictionary's text (16 hex digits); pickles name it."""

    @property
    def path(self) -> str | None:
        """The absolute path of the file read, or None for a dictionary read from text."""

    def __len__(self) -> int: ...
    def __contains__(self, class_name: object, /) -> bool:
        """Whether the dictionary has a class of that name (ASCII case-insensitive)."""

    def class_names(self) -> list[str]:
        """The class names, in dictionary order."""

    def field_names(self, class_name: str) -> list[str]:
        """The declared field names of a class (any letter case)."""

    def field_name(self, class_name: str, index: int) -> str:
        """The name of field `index` of a class, generated past the declared
        fields of an extensible class (IndexError past the end otherwise)."""

    def field_info(self, class_name: str, index: int) -> FieldInfo:
        """What the dictionary says of field `index` of a class; past the
        declared fields of an extensible class, the first group's definition
        under this field's own name (IndexError where field_name raises it)."""

    def attribute_index(self, class_name: str, key: str) -> int:
        """The index of the field that attribute `key` stands for, as
        tamrix.ormic reads obj.<key> (KeyError when it reaches no field)."""

    def reference_lists(self) -> list[str]:
        """Every list name that some field declares with \\reference, in
        dictionary order."""

    def class_info(self, class_name: str) -> ClassInfo:
        """What the dictionary says of a class (KeyError for an unknown one)."""

    def __reduce__(self) -> tuple[Any, ...]: ...

def _restore_IDD(cls: type[IDD], path: str | None, digest: str, text: bytes | None) -> IDD: ...

_C_API: object

def _register(idd: IDD | str | bytes, path: str | None = None) -> IDD: ...
def _registered() -> list[str]: ...
def _dictionary_text(idd: IDD) -> bytes: ...
