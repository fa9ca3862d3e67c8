"""Create a project with a piping study and a structure study, and a copy of the piping study.

python create_project.py INSTALLATION PROJECTS_FOLDER PROJECT_NAME
"""

from __future__ import annotations

import os

import brivane_computer as bc
from common import argument_parser, set_up

SCREEN = (1920, 1080)


def main() -> None:
    parser = argument_parser(__doc__ or "")
    parser.add_argument("projects_folder")
    parser.add_argument("project_name")
    arguments = parser.parse_args()
    set_up(arguments)

    project = bc.addPipingProject(arguments.projects_folder, arguments.project_name, "Piping", *SCREEN)
    if not project:
        raise SystemExit(f"{os.path.join(arguments.projects_folder, arguments.project_name)} already exists")
    print("created", project)
    if bc.addStructureStudy(project, "Structure", *SCREEN) is None:
        raise SystemExit("the structure study could not be added")
    print("added the study Structure")
    bc.duplicateStudy(project, "Piping", "Piping variant")
    print("duplicated Piping as Piping variant")


if __name__ == "__main__":
    main()
