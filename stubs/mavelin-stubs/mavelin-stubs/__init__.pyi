from . import api as api, cli as cli, core as core, errors as errors, results as results, utils as utils
from .api import sign as sign, validate as validate
from .errors import (
    ArgumentRefused as ArgumentRefused,
    CertificateCorrupted as CertificateCorrupted,
    CertificateNotFound as CertificateNotFound,
    Error as Error,
    NoFiles as NoFiles,
    TreeUnreadable as TreeUnreadable,
    WriteFailed as WriteFailed,
)
from .results import Finding as Finding, Result as Result

__version__: str
