import click as click

from . import commands as commands
from .commands import (
    show_command as show_command,
    sign_folder_command as sign_folder_command,
    validate_certificate_command as validate_certificate_command,
)

cli: click.Group

def main() -> None:
    """Runs the command line: the default log set-up, then the group with the process arguments."""
