import os
from typing import Literal

from mavelin.results import Result

def sign(
    dir: str | os.PathLike[str],
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
) -> Result: ...
def validate(
    dir: str | os.PathLike[str],
    certificate: str | os.PathLike[str] | None = None,
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
) -> Result: ...

__all__ = ["sign", "validate"]
