import os as os
import pickle as pickle
import zipfile as zipfile
from collections.abc import Iterable

from mavelin.core.models import FileNode as FileNode
from mavelin.core.node_handling import FileNodeHandler as FileNodeHandler

MAX_PROCESSES: int

class FileManager:
    _initial_path: str | os.PathLike[str]
    _chunk_size: int
    _transformation_step: int
    _file_nodes: dict[str, FileNode]
    files_count: int
    def __init__(
        self,
        initial_path: str | os.PathLike[str],
        chunk_size: int = 4096,
        transformation_step: int = 2,
    ) -> None: ...
    def _parse_directory(self) -> None: ...
    def _generate_fingerprints(self) -> None: ...
    def _generate_file_fingerprint(self, node: FileNode, /) -> FileNode: ...
    def _store_updated_node(self, nodes: Iterable[FileNode], /) -> None: ...
    def _save_certificate(self) -> None: ...
    def _archive_certificate(self) -> None: ...
