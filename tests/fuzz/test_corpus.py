"""Every stored fuzz input runs once and ends in its documented outcome."""

import os

import pytest

import harness

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
INPUTS = sorted(os.listdir(CORPUS))


@pytest.mark.parametrize("name", INPUTS)
def test_stored_fuzz_input(name, capfd):
    with open(os.path.join(CORPUS, name), "rb") as f:
        harness.run_one(f.read())
    capfd.readouterr()   # fault diagnostics that fell back to the process's stderr
