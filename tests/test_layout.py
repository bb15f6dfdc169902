"""The core's folders depend downwards only: a folder of src/sim includes
its own files, the files at the top of src/sim and the folders listed
before it (the order CONTRIBUTING.md gives), never one after it."""

import pathlib
import re

import pytest

SIM = pathlib.Path(__file__).resolve().parent.parent / "src" / "sim"
ROOMS = ["cpu", "unitarity", "gates", "kernels", "observables", "measure", "exec", "grad", "noise",
         "density", "batch", "serial"]
INCLUDE = re.compile(r'^#include "sim/([a-z_]+)/', re.MULTILINE)


@pytest.mark.skipif(not SIM.is_dir(), reason="needs the source tree")
def test_core_folders_include_only_folders_below_them():
    assert sorted(p.name for p in SIM.iterdir() if p.is_dir()) == sorted(ROOMS)
    upward = []
    for rank, room in enumerate(ROOMS):
        for path in sorted((SIM / room).iterdir()):
            for other in INCLUDE.findall(path.read_text()):
                if ROOMS.index(other) > rank:
                    upward.append(f"{room}/{path.name} includes sim/{other}/")
    assert upward == []
