from mavelin.cli import cli as cli
from mavelin.utils.logger import configure_default_logger as configure_default_logger
