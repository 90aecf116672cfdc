import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SHARED = REPO.parent / "shared"


@pytest.fixture(scope="session")
def shared_dir():
    """The project's shared test material beside the checkout; absent in a user's clone."""
    if not (SHARED / "corpus").is_dir():
        pytest.skip(f"shared test material not found at {SHARED} (only present in the project's workspace)")
    return SHARED
