"""Shared fixtures: a fresh Registry and the small model worlds the tests use."""

import pytest

import kelvara_py


@pytest.fixture
def reg():
    return kelvara_py.Registry()
