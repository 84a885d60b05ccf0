"""Fixtures the test files share; the plain-Python references are in reference.py."""

import gc
import math
import warnings

import pytest


@pytest.fixture
def planted() -> list[list[float]]:
    """Ten series of a slow wave, each with a sharp bump at its own place."""
    series = []
    for s in range(10):
        values = [math.sin(0.3 * i + s) for i in range(80)]
        start = 5 + 6 * s
        for i in range(12):
            values[start + i] += 4.0 * math.sin(math.pi * i / 11)
        series.append(values)
    return series


@pytest.fixture
def pyplot():
    """matplotlib's pyplot on the Agg backend, which needs no display; closes its figures afterwards."""
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    yield plt
    plt.close("all")


@pytest.fixture
def labelled(planted) -> tuple[list[list[float]], list[str]]:
    """The planted series (class "bump") beside ten series of the slow wave alone (class "wave")."""
    waves = [
        [math.sin(0.3 * i + s) + 0.2 * math.sin(1.7 * i * (s + 1)) for i in range(80)] for s in range(10)
    ]
    return planted + waves, ["bump"] * len(planted) + ["wave"] * len(waves)


@pytest.fixture
def pandas():
    """pandas, which the tables need; the package itself never imports it unless asked for one."""
    return pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def cluster():
    """Two single-threaded worker processes, so that everything crossing to them must pickle."""
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.array")
    # Without a dashboard the scheduler still serves its health checks, on port 8787 if free or else on
    # another, saying so in a warning and dropping the socket it tried first; another run on this machine
    # may hold 8787.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Port 8787 is already in use", UserWarning)
        warnings.filterwarnings("ignore", "unclosed <socket", ResourceWarning)
        running = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        )
        gc.collect()
    with running:
        yield running


@pytest.fixture
def client(cluster):
    """A client of the module's cluster, with both workers up."""
    from distributed import Client

    with Client(cluster) as connected:
        connected.wait_for_workers(2)
        yield connected


@pytest.fixture
def copies():
    """A shape of 40 samples and six walks far from zero holding it bit for bit three times each, with a flat
    stretch and NaN gaps: every copy ties at distance 0, and the first must win however the search starts."""
    np = pytest.importorskip("numpy")
    data = np.cumsum(np.random.default_rng(8).normal(size=(6, 700)), axis=1) + 1e6
    shape = data[0, 50:90].copy()
    for s in range(6):
        for at in (120 + 7 * s, 400, 610):
            data[s, at : at + 40] = shape
    data[1, 300:360] = data[1, 300]
    data[2, 200:204] = np.nan
    data[3, 450:] = np.nan
    return shape, data
