import logging
import logging as logging
import os
import sys as sys
from datetime import datetime as datetime
from typing import Literal

from mavelin.core.validation import CertificateValidator as CertificateValidator

logger: logging.Logger

def validate_certificate(
    dir_path: str | os.PathLike[str],
    certificate_file: str | os.PathLike[str] | None,
    *,
    match: Literal["path", "position"] = "path",
    summary: bool = False,
    report: str | os.PathLike[str] | None = None,
    jobs: int | None = None,
    progress: bool = False,
    scheduler: str | None = None,
    client: object | None = None,
    allowed_signers: str | os.PathLike[str] | None = None,
    identity: str | None = None,
    check_metadata: bool = False,
    keep_cache: bool = False,
    direct: bool = False,
) -> None: ...
