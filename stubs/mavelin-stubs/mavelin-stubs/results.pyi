from dataclasses import dataclass

@dataclass(frozen=True)
class Finding:
    kind: str
    path: str
    other_path: str | None = None

@dataclass(frozen=True)
class Signature:
    signed: bool
    verified: bool
    principal: str | None
    key_fingerprint: str | None
    signing_time: str | None

@dataclass(frozen=True)
class Result:
    command: str
    directory: str | bytes
    certificate: str | bytes | None
    match: str | None
    passed: bool
    files: int
    bytes: int
    seconds: float
    failed_files: int
    not_checked: int
    reread: int | None
    reused: int | None
    counts: dict[str, int]
    findings: tuple[Finding, ...]
    uncertified_folders: tuple[str, ...]
    uncertified_links: tuple[str, ...]
    signature: Signature | None = None

__all__ = ["Finding", "Result", "Signature"]
