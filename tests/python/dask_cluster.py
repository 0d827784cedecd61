"""A Dask cluster for the recipe tests: two worker processes on loopback, in a process of its own that
ends when the test is done with it."""

from __future__ import annotations

import subprocess
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

_CLUSTER = """
import sys
from dask.distributed import LocalCluster

if __name__ == "__main__":
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster:
        print(cluster.scheduler_address, flush=True)
        sys.stdin.read()  # until the test closes it
"""


@contextmanager
def local_cluster(folder: Path, env: dict[str, str]) -> Iterator[str]:
    """Starts the cluster from `folder` and yields its scheduler's address."""
    (folder / "cluster.py").write_text(_CLUSTER)
    cluster = subprocess.Popen([sys.executable, "cluster.py"], cwd=folder, env=env, text=True,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert cluster.stdout is not None and cluster.stdin is not None
        address = cluster.stdout.readline().strip()
        assert address.startswith("tcp://127.0.0.1:"), address
        yield address
    finally:
        if cluster.stdin is not None:
            cluster.stdin.close()
        try:
            cluster.wait(timeout=60)
        except subprocess.TimeoutExpired:
            cluster.kill()
            cluster.wait()
