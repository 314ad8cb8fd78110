import logging

import click as click

logger: logging.Logger
show_command: click.Command
