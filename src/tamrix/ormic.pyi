"""Attribute-style scripting over the IDF document model: choose the
dictionary once with IDF.setiddname(path), then open models with IDF(path)."""

from typing import Any

from _typeshed import StrOrBytesPath

import tamrix.idf

class IDFObject:
    """An object whose fields read and write as attributes: obj.Zone_Name
    (field names with blanks and dashes as underscores, any letter case)."""

    @property
    def core_obj(self) -> tamrix.idf.IDFObject | None:
        """The document-model object, or None when unbound."""

    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...

class IDFObjectsProxy:
    """The objects of a document by class name: proxy["ZONE"] is a new list."""

    @property
    def parent(self) -> IDF:
        """The IDF this proxy lists objects of."""

    def __getitem__(self, class_name: str) -> list[IDFObject]: ...

class IDF:
    """A document opened with the process's dictionary."""

    @classmethod
    def setiddname(cls, iddname: StrOrBytesPath, *args: Any, **kwargs: Any) -> None:
        """Choose the dictionary (IDD file) for every document of this process."""

    @classmethod
    def getiddname(cls) -> str:
        """The dictionary path given to setiddname(), or "" before it."""

    def __init__(self, idfname: StrOrBytesPath | int) -> None:
        """Open a model with the dictionary chosen by setiddname()."""

    @property
    def core_idf(self) -> tamrix.idf.IDF:
        """The document-model IDF."""

    @property
    def idfobjsproxy(self) -> IDFObjectsProxy: ...
    @property
    def idfobjects(self) -> IDFObjectsProxy:
        """The objects of the document by class: idfobjects["ZONE"]."""

    def newidfobject(self, class_name: str, defaultvalues: bool = True, **kwargs: Any) -> IDFObject:
        """Add a new object; keyword arguments set fields by attribute name."""

    def getobject(self, key: str, name: str) -> IDFObject | None:
        """The object of class `key` named `name`, or None."""

    def removeidfobject(self, idfobject: IDFObject) -> None:
        """Remove an object from the document."""

    def removeallidfobjects(self, class_name: str) -> None:
        """Remove every object of a class."""

    def save(self, idfname: StrOrBytesPath | int, *args: Any, **kwargs: Any) -> None:
        """Save the document to a file (values padded to 25 characters)."""

    def saveas(self, idfname: StrOrBytesPath | int, *args: Any, **kwargs: Any) -> None:
        """Save the document to a file through save()."""

    def printidf(self) -> None:
        """Print the document."""

    def idfstr(self) -> str:
        """The document as text."""

def _field_key_to_name() -> dict[str, dict[str, str]]:
    """The attribute-key table: upper-cased class name -> {key: field name}."""
