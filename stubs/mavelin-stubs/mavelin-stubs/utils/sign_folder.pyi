import logging
import logging as logging
import os
import sys as sys
from datetime import datetime as datetime

from mavelin.core.file_managing import FileManager as FileManager

logger: logging.Logger

def sign_folder(
    dir_path: str | os.PathLike[str],
    mode: str = "default",
    *,
    report: str | os.PathLike[str] | None = None,
    jobs: int | None = None,
    output: str | os.PathLike[str] | None = None,
    progress: bool = False,
    scheduler: str | None = None,
    client: object | None = None,
    key: str | os.PathLike[str] | None = None,
    update: bool = False,
    certificate: str | os.PathLike[str] | None = None,
    keep_cache: bool = False,
    direct: bool = False,
) -> None: ...
