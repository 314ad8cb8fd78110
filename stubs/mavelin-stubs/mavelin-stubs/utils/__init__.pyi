from . import logger as logger
from .sign_folder import sign_folder as sign_folder
from .validate_certificate import validate_certificate as validate_certificate
