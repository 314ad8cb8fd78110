import os
from dataclasses import dataclass as dataclass
from typing import TypeAlias

# A fingerprint: one list per row, each holding the row's hexadecimal SHA-256 digest.
_Fingerprint: TypeAlias = list[list[str]]

@dataclass
class FileNode:
    id: int
    file_path: os.PathLike[str] | str
    def set_fingerprint(self, fingerprint: _Fingerprint, /) -> None: ...
    def get_fingerprint(self) -> _Fingerprint: ...
