"""Events whose sample blocks exceed 16 MiB. velk hands the freed block of one such event to a later
event of the same size; that must never touch an array still in use, whichever arrays the caller keeps
and however many readers are open."""

from __future__ import annotations

import os

import numpy as np
import pytest

import velk
from recordings import wd2_header

SAMPLES = 2 * 1024 * 1024 + 1  # per channel, two channels: blocks of 16 MiB + 8 bytes


def samples_of(n: int) -> np.ndarray:
    return ((np.arange(2 * SAMPLES) % 1009) + 2000 * n).astype(np.float32)


@pytest.fixture(scope="module")
def large_events(tmp_path_factory) -> str:
    path = tmp_path_factory.mktemp("large") / "large.bin"
    with open(path, "wb") as f:
        for n in range(5):
            f.write(wd2_header(event_counter=n, samples=SAMPLES, channels=2) + samples_of(n).tobytes())
    return str(path)


@pytest.mark.parametrize("keep", [lambda n: True, lambda n: False, lambda n: n % 2 == 0, lambda n: n == 0],
                         ids=["every event", "no event", "every other event", "only the first"])
def test_each_event_has_its_own_samples_whatever_is_kept(large_events, keep):
    kept, other = {}, velk.EventReader(large_events, "WD2")
    for n, event in enumerate(velk.EventReader(large_events, "WD2")):
        data, other_data = event["data"], next(other)["data"]
        assert np.array_equal(data, samples_of(n)), f"event {n} came back with other samples"
        assert np.array_equal(other_data, samples_of(n)) and not np.shares_memory(data, other_data)
        if keep(n):
            kept[n] = data
        del event, data, other_data
    assert sorted(kept) == [n for n in range(5) if keep(n)]
    for n, data in kept.items():
        assert np.array_equal(data, samples_of(n)), f"kept event {n} was overwritten"


# Runs in a child whose address space leaves `headroom` MiB above what it uses after importing NumPy.
# Each WD1 file is sparse: headers with holes for samples, read back as zeros.
_LIMITED = """
import resource, sys
import numpy as np
import velk, velk_tools

def mapped():
    return int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()

def resident():
    return int(open("/proc/self/statm").read().split()[1]) * resource.getpagesize()

def sparse_wd1(path, sizes_mib, cut_mib=None):
    with open(path, "wb") as f:
        for n, mib in enumerate(sizes_mib):
            f.write(np.array([24 + (mib << 20), 1, 0, 0, n, 0], "<i4").tobytes())
            f.seek(mib << 20, 1)
        f.write(np.array([28, 1, 0, 0, 99, 0, 0x00070007], "<i4").tobytes())
        f.truncate(None if cut_mib is None else 24 + (cut_mib << 20))

limit = mapped() + (int(sys.argv[2]) << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
case, path = sys.argv[1], sys.argv[3]
if case == "dropped events":
    sparse_wd1(path, [300, 300, 450])
    print([len(e["data"]) >> 19 for e in velk.EventReader(path, "WD1")])
elif case == "cut short":
    sparse_wd1(path, [2047], cut_mib=600)
    before, reader = resident(), velk.EventReader(path, "WD1")
    print(list(reader), (resident() - before) >> 20 < 32)
elif case == "too large":
    sparse_wd1(path, [100])
    before, reader = resident(), velk.EventReader(path, "WD1")
    try:
        next(reader)
    except MemoryError as error:
        print("MemoryError", error, (resident() - before) >> 20 < 32)
    print([e["event_counter"] for e in reader])
elif case == "another module's cache":
    sparse_wd1(path, [300, 300])
    sparse_wd1(path + ".b", [450])
    reader = velk.EventReader(path, "WD1")
    next(reader), next(reader)  # their blocks stay cached while the reader is open
    print([int(batch.offsets[-1]) >> 19 for batch in velk_tools.read_batches(path + ".b", "WD1")])
"""


@pytest.mark.parametrize(("case", "headroom", "expected"), [
    # The cache gives its blocks back when a larger event needs the memory.
    ("dropped events", 1000, ["[300, 300, 450, 0]"]),
    # One cache per process: batches that need the memory velk's open reader caches get it.
    ("another module's cache", 1000, ["[450, 0]"]),
    # The memory a truncated event grew into is freed, not cached.
    ("cut short", 1000, ["[] True"]),
    # An event that cannot be held is skipped whole: the next call yields the event after it.
    ("too large", 64, ["MemoryError cannot allocate 104857600 bytes for the samples True", "[99]"]),
])
def test_memory_limits(tmp_path, run_python, case, headroom, expected):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's allocator reserves its memory before the limit is set")
    result = run_python(_LIMITED, case, str(headroom), str(tmp_path / "sparse.wd1"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected
