import click as click

from mavelin.utils import sign_folder as sign_folder

sign_folder_command: click.Command
