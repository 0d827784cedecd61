"""The CPU a benchmark ran on, as its reports name it."""

from __future__ import annotations

import platform


def cpu_name() -> str:
    """The model name /proc/cpuinfo gives, else what the platform module knows."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"
