from . import cli as cli, core as core, utils as utils

__version__: str
