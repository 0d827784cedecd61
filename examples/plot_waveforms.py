"""Plot the first events of a recording into a PNG file.

    python examples/plot_waveforms.py [PATH [WD1|WD2]] [--events N] [--output FILE]

Without PATH it writes a demo WD2 recording with two channels and plots that. Each event is one line;
a WD2 recording whose events carry two or more channels gets one panel per channel. Needs matplotlib
(`pip install "velk[plot]"`).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt
import numpy as np

import velk
from demo_recordings import write_wd2


def first_events(path: str, reader_type: str, count: int) -> list[dict]:
    """Up to `count` events; the readers stop at the end of the file on their own."""
    events = []
    for event in velk.EventReader(path, reader_type):
        events.append(event)
        if len(events) == count:
            break
    return events


def channel_rows(event: dict) -> np.ndarray:
    """The event's samples as one row per channel.

    WD1 events and single-channel WD2 events give one row. A WD2 block of several channels is split
    into equal rows in file order, which assumes the recording stores each channel's samples
    together (as the demo does); velk itself hands the block over flat, exactly as stored."""
    data = event["data"]
    channels = event.get("channels", 1)
    if channels >= 2 and data.size == channels * event["samples"]:
        return data.reshape(channels, event["samples"])
    return data.reshape(1, -1)


def plot(events: list[dict], title: str, output: Path) -> None:
    rows = [channel_rows(event) for event in events]
    panels = max(r.shape[0] for r in rows)
    fig, axes = plt.subplots(panels, 1, figsize=(8, 2.4 + 2.2 * panels), sharex=True, squeeze=False)
    for event, waves in zip(events, rows):
        period = event.get("sampling_period", 1)
        for channel, wave in enumerate(waves):
            axes[channel, 0].plot(np.arange(wave.size) * period, wave, lw=1,
                                  label=f"event {event['event_counter']}")
    wd2 = "sampling_period" in events[0]
    for channel, ax in enumerate(axes[:, 0]):
        ax.set_ylabel(("value" if wd2 else "ADC counts") + (f"\nchannel {channel}" if panels > 1 else ""))
        ax.grid(alpha=0.3)
    axes[-1, 0].set_xlabel("time (sample index x sampling_period)" if wd2 else "sample index")
    axes[0, 0].legend(fontsize="small", ncol=2, loc="upper right")
    axes[0, 0].set_title(title)
    fig.tight_layout()
    fig.savefig(output, dpi=100)
    plt.close(fig)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?", help="recording to read (default: a demo WD2 recording)")
    parser.add_argument("reader_type", nargs="?", default="WD1", choices=["WD1", "WD2"])
    parser.add_argument("--events", type=int, default=6, help="how many events to plot (default 6)")
    parser.add_argument("--output", type=Path, default=Path("waveforms.png"), help="PNG to write")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        if args.path is None:
            args.path, args.reader_type = str(write_wd2(Path(tmp, "demo.wd2"))), "WD2"
        events = first_events(args.path, args.reader_type, args.events)
        if not events:
            print(f"{args.path} holds no complete {args.reader_type} event", file=sys.stderr)
            return 1
        name = "demo recording" if Path(args.path).parent == Path(tmp) else Path(args.path).name
        plot(events, f"First {len(events)} events of {name} ({args.reader_type})", args.output)
    print(f"wrote {args.output} ({len(events)} events)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
