import logging
import logging as logging
import os as os
import pickle as pickle
import sys as sys
import zipfile as zipfile
from typing import Any, Literal

from mavelin.core.file_managing import FileManager as FileManager

logger: logging.Logger

class CertificateValidator:
    invalid_counter: int
    def __init__(
        self,
        certificate_path: str | os.PathLike[str] | None,
        result_path: str | os.PathLike[str],
        **kwargs: Any,
    ) -> None: ...
    def light_certificate_search(self) -> bool: ...
    def deep_certificate_search(self) -> bool: ...
    def deserealize_certificate(self) -> None: ...
    def generate_fingerprints(self) -> None: ...
    def validate_nodes(self, /, match: Literal["path", "position"] = "path") -> int: ...
