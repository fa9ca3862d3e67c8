"""Build a model with the product's commands and save it with its fre file.

python build_model.py INSTALLATION STUDY_FOLDER --kind piping --pipes 3
"""

from __future__ import annotations

import os

import brivane_computer as bc
from common import argument_parser, set_up


def main() -> None:
    parser = argument_parser(__doc__ or "")
    parser.add_argument("study_folder")
    parser.add_argument("--kind", choices=("piping", "structure"), default="piping")
    parser.add_argument("--pipes", type=int, default=2, help="number of elements to add")
    arguments = parser.parse_args()
    set_up(arguments)

    model = bc.createPipingVokel() if arguments.kind == "piping" else bc.createStructureVokel()
    element = "ADD_PIPE" if arguments.kind == "piping" else "ADD_BEAM"
    for command_name in ["ADD_LAYER"] + [element] * arguments.pipes:
        # The controller runs a command on the model of the latest createCommand.
        bc.executeCommand(bc.createCommand(command_name, model))

    os.makedirs(arguments.study_folder, exist_ok=True)
    name = os.path.basename(os.path.normpath(arguments.study_folder))
    model_file = os.path.join(arguments.study_folder, name + ".vokel")
    bc.saveVokel(model, model_file)
    print(f"saved a {arguments.kind} model as {model_file}")
    print("the folder now holds:", ", ".join(sorted(os.listdir(arguments.study_folder))))


if __name__ == "__main__":
    main()
