"""Release the last solution and remove every project of a projects folder.

    python clean_up.py INSTALLATION PROJECTS_FOLDER
"""
from __future__ import annotations

import os

import brivane_computer as bc
from common import argument_parser, set_up


def main() -> None:
    parser = argument_parser(__doc__ or "")
    parser.add_argument("projects_folder")
    arguments = parser.parse_args()
    set_up(arguments)

    bc.disposeSolution()
    home = os.getcwd()
    for name in sorted(os.listdir(arguments.projects_folder)):
        project = os.path.join(arguments.projects_folder, name)
        if os.path.isdir(project):
            bc.removeProject(project)
            print("removed" if not os.path.exists(project) else "could not remove", project)
    # removeProject works from the project's parent folder; come back.
    os.chdir(home)


if __name__ == "__main__":
    main()
