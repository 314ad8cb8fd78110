import logging as logging
import sys as sys

def configure_default_logger() -> None: ...
