import click as click

from mavelin.utils import validate_certificate as validate_certificate

validate_certificate_command: click.Command
