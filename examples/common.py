"""What the examples share: pointing the module at an installation given on the command line."""

from __future__ import annotations

import argparse

import brivane_computer as bc


def argument_parser(description: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("installation", help="the product's installation folder")
    parser.add_argument("--settings", help="the product's settings file, if not in its usual place")
    parser.add_argument("--data-sources", help="the product's data-sources file, if not in its usual place")
    return parser


def set_up(arguments: argparse.Namespace) -> None:
    """Sets the module up on the installation, or stops the script with the reason."""
    if arguments.settings:
        bc._settingsPath_ = arguments.settings
    if arguments.data_sources:
        bc._dataSourcesPath_ = arguments.data_sources
    if not bc.setup_brivane_computer(arguments.installation, bc.BrivaneModule.All):
        raise SystemExit(f"{arguments.installation} has no Extensions folder: is it a Pelorix installation?")
