from .show_command import show_command as show_command
from .sign_folder_command import sign_folder_command as sign_folder_command
from .validate_certificate_command import (
    validate_certificate_command as validate_certificate_command,
)
