import click as click

from . import commands as commands
from .commands import (
    sign_folder_command as sign_folder_command,
    validate_certificate_command as validate_certificate_command,
)

cli: click.Group

def main() -> None:
    """Runs the command line: the default log set-up, then the group with the process arguments."""
