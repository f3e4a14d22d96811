"""Turns the JSON of bench/run.py into Markdown tables and PNG plots.

    python3 bench/report.py [--results DIR]

Reads DIR/full.json (or quick.json), DIR/soak.json and DIR/cpu.json when present (the raw
figures, kept out of git); writes DIR/tables.md, DIR/summary.json (the figures of the
tables, small enough to keep) and the plots DIR/cpu_per_gb_vs_rate.png,
DIR/concurrency.png and DIR/soak_rss.png.
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


def soak_rows(soak):
    """Per run: the RSS at 20 s (after the warm-up), the highest RSS after it, the last
    sample, and the growth after 20 s in MB and MB/s."""
    rows = []
    for s in soak:
        series = s["rss_series"]
        at20 = next((mb for t, mb in series if t >= 20), series[0][1])
        highest = max(mb for t, mb in series if t >= 20) if series[-1][0] >= 20 else at20
        growth = highest - at20
        rows.append({"relay": s["relay"], "rate_mbps": s["rate_mbps"], "seconds": s["seconds"], "loss": s["loss"],
                     "rss_at_20s_mb": at20, "highest_rss_after_20s_mb": highest, "last_rss_mb": series[-1][1],
                     "growth_after_20s_mb": round(growth, 2),
                     "growth_mb_per_s": round(growth / max(series[-1][0] - 20, 1), 4)})
    return rows


def soak_table(rows):
    lines = ["### RSS over a long single-stream run (relay pinned)", "",
             "| relay | Mbit/s | seconds | loss | RSS at 20 s MB | highest RSS after 20 s MB | last sample MB "
             "| growth after 20 s MB | MB/s |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['relay']} | {r['rate_mbps']:g} | {r['seconds']} | {pct(r['loss'])} | {fmt(r['rss_at_20s_mb'])} "
                     f"| {fmt(r['highest_rss_after_20s_mb'])} | {fmt(r['last_rss_mb'])} | {fmt(r['growth_after_20s_mb'])} "
                     f"| {fmt(r['growth_mb_per_s'], 3)} |")
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


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    if not ordered:
        return None
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


REFERENCES = ("bare", "udp", "udp-mmsg", "ffmpeg", "sluice-main")


def cpu_rounds_rows(runs):
    """Per load and relay: CPU-s/GB of every round, their median, the median's ratio to
    each reference relay's median and the ratios within each round (the relays take
    turns, so one round's figures share the machine's load of that moment), and the
    latency from the pacer to the sink (median of the rounds' medians and 99th
    percentiles)."""
    loads = list(dict.fromkeys((run["streams"], run["rate_mbps"]) for run in runs))
    names = list(dict.fromkeys(run["relay"] for run in runs))

    def per_round(name, streams, rate):
        return [r for r in runs if r["relay"] == name and r["streams"] == streams and r["rate_mbps"] == rate]

    def cpu(run):
        return run.get("cpu_s_per_gb")

    def latency(mine, key):
        return median([r["latency_ms"][key] for r in mine if r.get("latency_ms") and r["latency_ms"][key] >= 0])

    rows = []
    for streams, rate in loads:
        for name in names:
            mine = per_round(name, streams, rate)
            known = [cpu(r) for r in mine if cpu(r)]
            middle = median(known)
            row = {"streams": streams, "rate_mbps": rate, "relay": name, "cpu_s_per_gb": [cpu(r) for r in mine],
                   "median": middle, "latency_median_ms": latency(mine, "median"), "latency_p99_ms": latency(mine, "p99"),
                   "worst_stream_loss": max((r["worst_stream_loss"] for r in mine
                                             if r["worst_stream_loss"] is not None), default=None),
                   "streams_missing_first_unit": sum(r.get("streams_missing_first_unit", 0) for r in mine)}
            for reference in REFERENCES:
                others = per_round(reference, streams, rate)
                theirs = median([cpu(r) for r in others if cpu(r)])
                row[f"x_{reference}"] = round(middle / theirs, 2) if middle and theirs else None
                row[f"x_{reference}_per_round"] = [round(cpu(a) / cpu(b), 2) if cpu(a) and cpu(b) else None
                                                  for a, b in zip(mine, others)]
            rows.append(row)
    return rows


def cpu_rounds_table(rows):
    def listed(values, digits=2):
        return ", ".join(fmt(v, digits) for v in values)
    references = [ref for ref in REFERENCES if any(r["relay"] == ref for r in rows)]
    lines = ["| load | relay | CPU-s/GB per round | median | " + " | ".join(f"× {ref}" for ref in references)
             + " | latency median / p99 ms | worst stream loss |",
             "|---|---|---|---|" + "---|" * len(references) + "---|---|"]
    for r in rows:
        worst = r["worst_stream_loss"]
        ratios = " | ".join(f"{fmt(r[f'x_{ref}'], 2)} ({listed(r[f'x_{ref}_per_round'])})" for ref in references)
        lines.append(f"| {r['streams']} × {r['rate_mbps']:g} Mbit/s | {r['relay']} | {listed(r['cpu_s_per_gb'])} "
                     f"| {fmt(r['median'], 2)} | {ratios} "
                     f"| {fmt(r['latency_median_ms'], 1)} / {fmt(r['latency_p99_ms'], 1)} "
                     f"| {pct(worst) if worst is not None else '–'} |")
    return lines


def ladder_summary(results):
    summary = {}
    for name, ladder in results["ladder"].items():
        at50, at200 = step_at(ladder, 50), step_at(ladder, 200)
        summary[name] = {"highest_ok_mbps": ladder["highest_ok_mbps"], "lowest_lossy_mbps": ladder["lowest_lossy_mbps"],
                         "cpu_s_per_gb_at_50": at50 and at50["cpu_s_per_gb"],
                         "cpu_s_per_gb_at_200": at200 and at200["cpu_s_per_gb"]}
    return summary


def concurrency_summary(results):
    keys = ("relay", "streams", "loss", "worst_stream_loss", "streams_missing_first_unit", "cpu_s_per_gb",
            "idle_rss_mb", "peak_rss_mb", "max_rss_mb")
    return [{key: run.get(key) for key in keys} for run in results["concurrency"]]


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
    summary = {}
    main_run = load(args.results, "full.json") or load(args.results, "quick.json")
    if main_run:
        m = main_run["machine"]
        lines += [f"Run ({main_run['mode']}) started {m['started']} on {m['nproc']} × {m['cpu']}, kernel {m['kernel']}; "
                  f"load average {' '.join(m['loadavg_start'])} at the start, "
                  f"{' '.join(m.get('loadavg_end', []))} at the end.", ""]
        lines += ladder_tables(main_run) + [""] + concurrency_table(main_run) + [""]
        plot_ladder(main_run, os.path.join(args.results, "cpu_per_gb_vs_rate.png"))
        plot_concurrency(main_run, os.path.join(args.results, "concurrency.png"))
        summary[main_run["mode"]] = {"machine": m, "ladder": ladder_summary(main_run),
                                     "concurrency": concurrency_summary(main_run)}
    soak = load(args.results, "soak.json")
    if soak:
        rows = soak_rows(soak["soak"])
        lines += [started_line("Soak", soak["machine"]), ""] + soak_table(rows) + [""]
        plot_soak(soak["soak"], os.path.join(args.results, "soak_rss.png"))
        summary["soak"] = {"machine": soak["machine"], "runs": rows}
    cpu = load(args.results, "cpu.json")
    if cpu:
        rows = cpu_rounds_rows(cpu["cpu_rounds"])
        lines += [started_line("CPU rounds", cpu["machine"]), ""] + cpu_rounds_table(rows) + [""]
        summary["cpu_rounds"] = {"machine": cpu["machine"], "rows": rows}
    with open(os.path.join(args.results, "tables.md"), "w") as file:
        file.write("\n".join(lines) + "\n")
    with open(os.path.join(args.results, "summary.json"), "w") as file:
        json.dump(summary, file, indent=1)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
