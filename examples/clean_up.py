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
    # Absolute, because each removal makes the project's parent the current folder.
    projects = os.path.abspath(arguments.projects_folder)
    for name in sorted(os.listdir(projects)):
        project = os.path.join(projects, name)
        if os.path.isdir(project):
            bc.removeProject(project)
            os.chdir(home)
            print("removed" if not os.path.exists(project) else "could not remove", project)


if __name__ == "__main__":
    main()
