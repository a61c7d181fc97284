"""The ``karvo`` command's entry point (``karvo.cli:main``); the command
lives in ``karvo._cli``."""
from ._cli.main import build_parser, main

__all__ = ["build_parser", "main"]
