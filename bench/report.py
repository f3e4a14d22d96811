"""Turns the JSON of bench/run.py into Markdown tables and PNG plots.

    python3 bench/report.py [--results DIR]

Reads DIR/full.json (or quick.json), DIR/soak.json and DIR/cpu.json when present; writes
DIR/tables.md and the plots DIR/cpu_per_gb_vs_rate.png, DIR/concurrency.png and
DIR/soak_rss.png.
"""

import argparse
import json
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def pct(value):
    return f"{value * 100:.4f} %"


def fmt(value, digits=1):
    return "–" if value is None else f"{value:.{digits}f}"


def first_unit(run):
    """How many streams lost their first unit, of how many."""
    return f"{run.get('streams_missing_first_unit', '?')} of {run['streams']}"


def step_at(ladder, rate):
    """The deciding ladder step measured at exactly `rate`, if any."""
    return next((s for s in ladder["steps"] if s["rate_mbps"] == rate and not s.get("retried")), None)


def ladder_tables(results):
    lines = ["### Single stream, relay pinned to CPU 1, harness on CPU 0", "",
             "| relay | highest loss-free rate | first lossy rate | CPU-s/GB at 50 Mbit/s | CPU-s/GB at 200 Mbit/s "
             "| peak RSS at 50 / 200 Mbit/s |", "|---|---|---|---|---|---|"]
    for name, ladder in results["ladder"].items():
        at50, at200 = step_at(ladder, 50), step_at(ladder, 200)

        def cpu(step):
            if step is None:
                return "–"
            return fmt(step["cpu_s_per_gb"]) + ("" if step["ok"] else f" (loss {pct(step['loss'])})")
        rss = f"{fmt(at50 and at50['peak_rss_mb'])} / {fmt(at200 and at200['peak_rss_mb'])} MB"
        lines.append(f"| {name} | {ladder['highest_ok_mbps']} Mbit/s | {fmt(ladder['lowest_lossy_mbps'], 1)} "
                     f"| {cpu(at50)} | {cpu(at200)} | {rss} |")
    lines += ["", "Every step of the ladder:", "",
              "| relay | Mbit/s | loss | worst stream after its first unit | first unit lost | CPU-s/GB "
              "| peak RSS MB | harness CPU (cores) |",
              "|---|---|---|---|---|---|---|---|"]
    for name, ladder in results["ladder"].items():
        for s in sorted(ladder["steps"], key=lambda s: s["rate_mbps"]):
            retried = " (retried)" if s.get("retried") else ""
            lines.append(f"| {name} | {s['rate_mbps']}{retried} | {pct(s['loss'])} | {pct(s['worst_stream_loss'])} "
                         f"| {first_unit(s)} | {fmt(s['cpu_s_per_gb'])} | {fmt(s['peak_rss_mb'])} | {s['harness_cpu_share']} |")
    return lines


def concurrency_table(results):
    lines = ["### N streams of 2 Mbit/s (sluice and bare: N callers on one port; the others: N processes)", "",
             "| relay | N | loss | worst stream after its first unit | first unit lost | CPU-s/GB | idle RSS MB "
             "| peak RSS MB | RSS per stream MB |",
             "|---|---|---|---|---|---|---|---|---|"]
    for s in results["concurrency"]:
        if s["relay"] in ("sluice", "bare"):
            per_stream = (s["max_rss_mb"] - s["idle_rss_mb"]) / s["streams"]
        else:
            per_stream = s["peak_rss_mb"] / s["streams"]
        lines.append(f"| {s['relay']} | {s['streams']} | {pct(s['loss'])} | {pct(s['worst_stream_loss'])} "
                     f"| {first_unit(s)} | {fmt(s['cpu_s_per_gb'])} | {fmt(s['idle_rss_mb'])} | {fmt(s['peak_rss_mb'])} "
                     f"| {fmt(per_stream, 2)} |")
    return lines


def soak_table(soak):
    lines = ["### RSS over a long single-stream run (relay pinned)", "",
             "| relay | Mbit/s | seconds | loss | RSS at 20 s MB | highest RSS after 20 s MB | growth after 20 s MB | MB/s |",
             "|---|---|---|---|---|---|---|---|"]
    for s in soak:
        series = s["rss_series"]
        at20 = next((mb for t, mb in series if t >= 20), series[0][1])
        highest = max(mb for t, mb in series if t >= 20) if series[-1][0] >= 20 else at20
        growth = highest - at20
        lines.append(f"| {s['relay']} | {s['rate_mbps']} | {s['seconds']} | {pct(s['loss'])} | {fmt(at20)} "
                     f"| {fmt(highest)} | {fmt(growth)} | {fmt(growth / max(series[-1][0] - 20, 1), 3)} |")
    return lines


def save(fig, axes, path):
    """Grid and legend on every axis, then the figure as a PNG."""
    for ax in axes:
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_ladder(results, path):
    fig, ax = plt.subplots(figsize=(8, 5))
    for name, ladder in results["ladder"].items():
        if ladder["highest_ok_mbps"] == 0:
            continue  # lossy from the first rung: its CPU per delivered GB says nothing
        steps = sorted((s for s in ladder["steps"] if s["cpu_s_per_gb"] and not s.get("retried")),
                       key=lambda s: s["rate_mbps"])
        ax.plot([s["rate_mbps"] for s in steps], [s["cpu_s_per_gb"] for s in steps], label=name, marker="o")
        lossy = [s for s in steps if not s["ok"]]
        ax.scatter([s["rate_mbps"] for s in lossy], [s["cpu_s_per_gb"] for s in lossy], marker="x", color="red",
                   zorder=3)
    ax.set_xlabel("single-stream rate, Mbit/s (relay pinned to one core)")
    ax.set_ylabel("relay CPU seconds per GB forwarded")
    ax.set_yscale("log")
    ax.set_title("CPU per GB against rate (red x: loss ≥ 0.01 %)")
    save(fig, [ax], path)


def plot_concurrency(results, path):
    fig, (cpu_ax, rss_ax) = plt.subplots(1, 2, figsize=(11, 4.5))
    names = list(dict.fromkeys(s["relay"] for s in results["concurrency"]))
    for name in names:
        runs = sorted((s for s in results["concurrency"] if s["relay"] == name), key=lambda s: s["streams"])
        n = [s["streams"] for s in runs]
        cpu_ax.plot(n, [s["cpu_s_per_gb"] or 0 for s in runs], marker="o", label=name)
        rss_ax.plot(n, [s["peak_rss_mb"] for s in runs], marker="o", label=name)
        lossy = [s for s in runs if not s["ok"]]
        cpu_ax.scatter([s["streams"] for s in lossy], [s["cpu_s_per_gb"] or 0 for s in lossy], marker="x",
                       color="red", zorder=3)
    cpu_ax.set_xlabel("streams of 2 Mbit/s")
    cpu_ax.set_ylabel("relay CPU seconds per GB forwarded")
    cpu_ax.set_yscale("log")
    rss_ax.set_xlabel("streams of 2 Mbit/s")
    rss_ax.set_ylabel("peak RSS of all relay processes, MB")
    rss_ax.set_yscale("log")
    fig.suptitle("Concurrency (red x: a stream lost ≥ 0.01 %)")
    save(fig, [cpu_ax, rss_ax], path)


def plot_soak(soak, path):
    fig, ax = plt.subplots(figsize=(8, 5))
    for s in soak:
        series = s["rss_series"]
        ax.plot([t for t, _ in series], [mb for _, mb in series], label=f"{s['relay']} {s['rate_mbps']} Mbit/s")
    ax.set_xlabel("seconds since the stream started")
    ax.set_ylabel("RSS, MB")
    ax.set_yscale("log")
    save(fig, [ax], path)


def cpu_rounds_table(runs):
    """Per relay and load: CPU-s/GB of every round, their median, and the median's
    ratio to the bare relay's and to ffmpeg's."""
    loads = [(1, 50), (1, 200), (50, 2)]
    names = list(dict.fromkeys(run["relay"] for run in runs))

    def median(name, streams, rate):
        values = sorted(r["cpu_s_per_gb"] for r in runs if r["relay"] == name and r["streams"] == streams
                        and r["rate_mbps"] == rate and r["cpu_s_per_gb"] is not None)
        return (values[len(values) // 2] if values else None), values

    lines = ["| load | relay | CPU-s/GB per round | median | × bare | × ffmpeg | worst stream loss |", "|---|---|---|---|---|---|---|"]
    for streams, rate in loads:
        bare, _ = median("bare", streams, rate)
        ffmpeg, _ = median("ffmpeg", streams, rate)
        for name in names:
            middle, values = median(name, streams, rate)
            worst = max((r["worst_stream_loss"] for r in runs if r["relay"] == name and r["streams"] == streams
                         and r["rate_mbps"] == rate and r["worst_stream_loss"] is not None), default=None)
            ratio = lambda other: fmt(middle / other, 2) if middle and other else "–"  # noqa: E731
            lines.append(f"| {streams} × {rate:g} Mbit/s | {name} | {', '.join(fmt(v) for v in values)} | "
                         f"{fmt(middle)} | {ratio(bare)} | {ratio(ffmpeg)} | {pct(worst) if worst is not None else '–'} |")
    return lines


def started_line(what, machine):
    return (f"{what} started {machine['started']}, load average {' '.join(machine['loadavg_start'])} at the start, "
            f"{' '.join(machine.get('loadavg_end', []))} at the end.")


def load(directory, name):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        return None
    with open(path) as file:
        return json.load(file)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--results", default=os.path.join(HERE, "results"))
    args = parser.parse_args()
    lines = []
    main_run = load(args.results, "full.json") or load(args.results, "quick.json")
    if main_run:
        m = main_run["machine"]
        lines += [f"Run ({main_run['mode']}) started {m['started']} on {m['nproc']} × {m['cpu']}, kernel {m['kernel']}; "
                  f"load average {' '.join(m['loadavg_start'])} at the start, "
                  f"{' '.join(m.get('loadavg_end', []))} at the end.", ""]
        lines += ladder_tables(main_run) + [""] + concurrency_table(main_run) + [""]
        plot_ladder(main_run, os.path.join(args.results, "cpu_per_gb_vs_rate.png"))
        plot_concurrency(main_run, os.path.join(args.results, "concurrency.png"))
    soak = load(args.results, "soak.json")
    if soak:
        lines += [started_line("Soak", soak["machine"]), ""] + soak_table(soak["soak"]) + [""]
        plot_soak(soak["soak"], os.path.join(args.results, "soak_rss.png"))
    cpu = load(args.results, "cpu.json")
    if cpu:
        lines += [started_line("CPU rounds", cpu["machine"]), ""] + cpu_rounds_table(cpu["cpu_rounds"]) + [""]
    with open(os.path.join(args.results, "tables.md"), "w") as file:
        file.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
