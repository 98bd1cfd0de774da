import pytest

from _data import DATA_DIR


@pytest.fixture(scope="session")
def data_dir():
    if not DATA_DIR.is_dir():
        pytest.skip(f"test corpus not found at {DATA_DIR}")
    return DATA_DIR


@pytest.fixture(scope="session")
def idd_path(data_dir):
    def path(version):
        return data_dir / "idd" / f"V{version}-Energy+.idd"

    return path


@pytest.fixture(scope="session")
def idd_88(idd_path):
    from tamrix.idd import IDD

    return IDD.from_file(idd_path("8-8-0"))

