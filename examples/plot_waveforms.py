"""Plot the first events of a recording into a PNG file, one panel per channel.

Each event is one line. Up to ten events get ten distinct colours and a legend per panel of their
event counters; more events are coloured along a colour bar of event counters instead of a legend. The
channel of a WD1 event is its board_channel; a WD2 event of two or more channels is split into one
row per channel, which assumes the recording stores each channel's samples together (as the demo
recording does).

The time axis of a WD2 plot is the sample index times the event's sampling_period. The layout gives
that period no unit, so --period-unit says which one the recording uses (default ns, the unit of the
demo recording); the axis label repeats the choice. WD1 events have no sampling period: their axis is
the sample index.

Without PATH it writes a demo WD2 recording with two channels and plots that. Needs matplotlib
(pip install "velk[plot]").
"""

from __future__ import annotations

import itertools
import sys
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

import velk
from command_line import add_recording_arguments, parser, positive_int, run
from demo_recordings import write_wd2

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from velk import WD1Event, WD2Event

# Seconds per unit of sampling_period, for the units --period-unit offers.
PERIOD_UNITS = {"ps": 1e-12, "ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
# Units of the time axis, largest first: the plot uses the largest that keeps the longest event >= 1.
AXIS_UNITS = [(1.0, "s"), (1e-3, "ms"), (1e-6, "µs"), (1e-9, "ns"), (1e-12, "ps")]
LEGEND_LIMIT = 10  # the number of distinct colours of matplotlib's default cycle


def first_events(path: str, reader_type: str, count: int) -> list[WD1Event | WD2Event]:
    """Up to `count` events; the reader stops at the end of the file on its own."""
    return list(itertools.islice(velk.EventReader(path, reader_type), count))


def channel_rows(event: WD1Event | WD2Event) -> list[tuple[int, NDArray[Any]]]:
    """The event's samples as (channel, samples) pairs.

    velk hands a WD2 block of several channels over flat, exactly as stored; it is split into equal
    rows in file order. A block whose size does not match its header stays one row."""
    if "board_channel" in event:
        return [(event["board_channel"], event["data"])]
    data, channels, samples = event["data"], event["channels"], event["samples"]
    if channels >= 2 and data.size == channels * samples:
        return list(enumerate(data.reshape(channels, samples)))
    return [(0, data)]


def time_steps(events: list[WD1Event | WD2Event], period_unit: str) -> tuple[list[float], str]:
    """Per event the axis distance between two samples, and the axis label."""
    seconds: list[float] = []
    for event in events:
        if "board_channel" in event:
            return [1.0] * len(events), "sample index"
        seconds.append(PERIOD_UNITS[period_unit] * event["sampling_period"])
    longest = max(step * event["data"].size for step, event in zip(seconds, events))
    if longest == 0:
        return [1.0] * len(events), "sample index (sampling_period 0)"
    scale, name = next(((s, n) for s, n in AXIS_UNITS if longest >= s), AXIS_UNITS[-1])
    unit = "µs" if period_unit == "us" else period_unit
    return [step / scale for step in seconds], f"time ({name}; sampling_period taken as {unit})"


def plot(events: list[WD1Event | WD2Event], title: str, output: Path, period_unit: str) -> None:
    # Imported only here, so that --help and the checks before plotting work without matplotlib.
    try:
        import matplotlib
    except ImportError:
        sys.exit("plotting needs matplotlib: pip install 'velk[plot]'")
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import Normalize

    wd1 = "board_channel" in events[0]
    waves: dict[int, list[tuple[int, NDArray[Any]]]] = {}  # channel -> (position in events, samples)
    for position, event in enumerate(events):
        for channel, wave in channel_rows(event):
            waves.setdefault(channel, []).append((position, wave))
    steps, xlabel = time_steps(events, period_unit)
    counters = [event["event_counter"] for event in events]
    legend = len(events) <= LEGEND_LIMIT
    colormap = plt.get_cmap("tab10" if legend else "viridis")
    norm = Normalize(min(counters), max(counters) if max(counters) > min(counters) else min(counters) + 1)

    fig, axes = plt.subplots(len(waves), 1, figsize=(8, 2.4 + 2.2 * len(waves)), sharex=True, squeeze=False,
                             constrained_layout=True)
    for ax, channel in zip(axes[:, 0], sorted(waves)):
        for position, wave in waves[channel]:
            colour = colormap(position) if legend else colormap(norm(counters[position]))
            ax.plot(np.arange(wave.size) * steps[position], wave, lw=1, color=colour,
                    label=f"event {counters[position]}")
        ax.set_ylabel(f"{'ADC counts' if wd1 else 'amplitude'}\n{'board ' if wd1 else ''}channel {channel}")
        ax.grid(alpha=0.3)
        if legend:
            ax.legend(fontsize="small", ncol=2, loc="best")
    axes[-1, 0].set_xlabel(xlabel)
    axes[0, 0].set_title(title)
    if not legend:
        fig.colorbar(ScalarMappable(norm, colormap), ax=axes[:, 0], label="event counter")
    fig.savefig(output, dpi=100)
    plt.close(fig)


def main(argv: list[str]) -> int:
    arguments = parser(__doc__)
    add_recording_arguments(arguments, "a demo WD2 recording")
    arguments.add_argument("--events", type=positive_int, default=6, help="how many events to plot (default 6)")
    arguments.add_argument("--period-unit", choices=list(PERIOD_UNITS), default="ns",
                           help="unit of the WD2 sampling_period (default ns)")
    arguments.add_argument("--output", type=Path, default=Path("waveforms.png"), help="PNG to write")
    args = arguments.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        if args.path is None:
            args.path, args.reader_type = str(write_wd2(Path(tmp, "demo.wd2"))), "WD2"
        events = first_events(args.path, args.reader_type, args.events)
        if not events:
            print(f"{args.path} holds no complete {args.reader_type} event", file=sys.stderr)
            return 1
        name = "demo recording" if Path(args.path).parent == Path(tmp) else Path(args.path).name
        plot(events, f"First {len(events)} events of {name} ({args.reader_type})", args.output, args.period_unit)
    print(f"wrote {args.output} ({len(events)} events)")
    return 0


if __name__ == "__main__":
    run(main)
