#!/usr/bin/env python3
"""Turns the measurements of scripts/bench.sh into the measured section of
docs/performance.md: everything between the "bench:begin" and "bench:end"
markers is replaced, the text around them is kept."""

import argparse
import json
import os
import statistics

BEGIN = "<!-- bench:begin (written by scripts/bench.sh; edits inside are lost) -->"
END = "<!-- bench:end -->"

PEERS = ["tar-zstd", "age-zstd-tar", "gpg-zstd-tar", "7zz-lzma2", "7zz-stored"]
QUARN_MODES = {"0": "none", "1": "AES-256-GCM", "2": "ChaCha20-Poly1305 + AES-256-GCM",
               "5": "Serpent + Twofish + AES-256"}
MiB = 1 << 20


def read_machine(path):
    out = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            out[key] = value
    return out


def read_tsv(path):
    """The rows of a tab-separated file with a header line, as dicts."""
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        return [dict(zip(header, line.rstrip("\n").split("\t"))) for line in f if line.strip()]


def read_results(path):
    rows = {}
    for r in read_tsv(path):
        rows.setdefault(r["name"], []).append(r)
    return rows


def undisturbed(all_rows, noisy):
    """Per command, the runs with less foreign load than `noisy`, when there
    are at least three of them (or all runs, if fewer were made); else all."""
    used = {}
    for name, rs in all_rows.items():
        quiet = [r for r in rs if float(r["foreign_load"]) < noisy]
        used[name] = quiet if len(quiet) >= min(3, len(rs)) else rs
    return used


def med(rows, key):
    return statistics.median(float(r[key]) for r in rows)


def read_micro(path):
    """Median aggregates by run name."""
    if not path or not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name") == "median":
            out[b["run_name"]] = b
    return out


def gbps(b):
    return b["bytes_per_second"] / 1e9


def s_per_gb(b):
    return 1e9 / b["bytes_per_second"]


def fmt(x, digits=2):
    return f"{x:.{digits}f}"


def end_to_end(lines, m, rows, all_rows):
    tree_bytes = int(m["tree_bytes"])
    lines.append("### Extraction and testing, end to end\n")
    lines.append(f"Throughput is the tree's {tree_bytes / 1e9:.3f} GB of file data divided by the median wall time "
                 "of the undisturbed runs (runs column: used / made); each run wrote into a new folder that was "
                 "deleted after the run. "
                 "Peak memory is the maximum resident set of the largest process (for a pipeline, of its largest "
                 "member), from `/usr/bin/time -v`. CPU is user + system time of all processes of the command. "
                 "Foreign load is the busy processor time of the rest of the machine during the run, in processors "
                 "(it includes kernel threads writing back the run's own files).\n")
    lines.append("| command | runs | median s | min–max s | MB/s | peak MiB | CPU s | foreign load (median / max) |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, rs in rows.items():
        walls = [float(r["wall_s"]) for r in rs]
        wall = statistics.median(walls)
        cpu = med(rs, "user_s") + med(rs, "sys_s")
        foreign = [float(r["foreign_load"]) for r in rs]
        mbps = tree_bytes / wall / 1e6 if not name.startswith("quarn-list") else float("nan")
        lines.append(f"| `{name}` | {len(rs)}/{len(all_rows[name])} | {fmt(wall)} | {fmt(min(walls))}–{fmt(max(walls))} | "
                     f"{'—' if mbps != mbps else fmt(mbps, 0)} | {med(rs, 'maxrss_kib') / 1024:.0f} | {fmt(cpu)} | "
                     f"{fmt(statistics.median(foreign))} / {fmt(max(foreign))} |")
    lines.append("")


def ratios(lines, m, rows):
    tree_bytes = int(m["tree_bytes"])
    peers = [p for p in PEERS if p in rows]
    lines.append("### quarn against the peers\n")
    lines.append("Throughput of quarn divided by the peer's (above 1: quarn is faster), from the medians above. "
                 "The quarn figures include opening the archive: Argon2id at 256 MiB, 3 passes, 4 lanes and "
                 "the file list (`quarn list`, median below); the peers' key handling is cheap (X25519 for age, "
                 "a fast S2K for gpg, SHA-256 rounds for 7-Zip).\n")
    lines.append("| quarn | " + " | ".join(f"`{p}`" for p in peers) + " |")
    lines.append("|---|" + "---:|" * len(peers))
    for name in rows:
        if not name.startswith("quarn-") or name.startswith("quarn-list"):
            continue
        q = med(rows[name], "wall_s")
        lines.append(f"| `{name}` | " + " | ".join(fmt(med(rows[p], "wall_s") / q) for p in peers) + " |")
    lines.append("")
    if "quarn-list-m1" in rows:
        opening = med(rows["quarn-list-m1"], "wall_s")
        lines.append(f"Opening an archive (`quarn list`, mode 1: Argon2id and the file list) takes "
                     f"{fmt(opening)} s. Without it, extraction and testing run at:\n")
        lines.append("| command | MB/s without opening |")
        lines.append("|---|---:|")
        for name in rows:
            if name.startswith("quarn-") and not name.startswith("quarn-list"):
                rest = med(rows[name], "wall_s") - (opening if not name.endswith("-m0") else 0)
                lines.append(f"| `{name}` | {fmt(tree_bytes / rest / 1e6, 0) if rest > 0 else '—'} |")
        lines.append("")


def read_machine_scaling(path):
    """Medians of the probe: (one processor GB/s, both processors GB/s)."""
    if not path or not os.path.exists(path):
        return None
    rs = read_tsv(path)
    if not rs:
        return None
    return med(rs, "one_gbps"), med(rs, "two_gbps")


def scaling(lines, rows, micro, probe):
    pairs = [(f"quarn-{what}-m{n}", f"quarn-{what}-m{n}-1cpu") for what, n in
             (("extract", "1"), ("extract", "5"), ("test", "5"))]
    pairs = [p for p in pairs if p[0] in rows and p[1] in rows]
    if not pairs:
        return
    opening = med(rows["quarn-list-m1"], "wall_s") if "quarn-list-m1" in rows else 0.0
    lines.append("### Scaling with the workers\n")
    lines.append("`taskset -c 0` restricts quarn to one processor, so it starts one worker (the worker count "
                 "follows the affinity mask) and its reader and writer share that processor too. Opening the "
                 "archive (Argon2id, one thread) is the same on one processor as on two; the last column "
                 "leaves it out.\n")
    lines.append("| command | 1 processor, s | 2 processors, s | speed-up | speed-up without opening |")
    lines.append("|---|---:|---:|---:|---:|")
    for two, one in pairs:
        a, b = med(rows[one], "wall_s"), med(rows[two], "wall_s")
        rest = (a - opening) / (b - opening) if b > opening else float("nan")
        lines.append(f"| `{two}` | {fmt(a)} | {fmt(b)} | {fmt(a / b)} | {fmt(rest)} |")
    lines.append("")
    if probe:
        one, two = probe
        lines.append("What the second processor adds on this machine: the same decoding work (`decrypt/mode:5/MiB:4`, "
                     "wall-clock) run as one process on processor 0 gives "
                     f"{fmt(one, 3)} GB/s; as two processes, one on each processor, {fmt(two, 3)} GB/s together, "
                     f"i.e. {fmt(two / one)} times (medians of the rounds). This is the ceiling for any "
                     "program's scaling here, before its own serial work.\n")
    inproc = []
    for mode in "0125":
        for verify in (0, 1):
            one = extract_run(micro, mode, 1, verify)
            two = extract_run(micro, mode, 2, verify)
            if one and two:
                inproc.append(f"| {mode} | {'test' if verify else 'extract'} | {fmt(gbps(one))} | {fmt(gbps(two))} | "
                              f"{fmt(gbps(two) / gbps(one))} |")
    if inproc:
        lines.append("In-process (`quarn_bench`, `extract()` on the stage tree, both processors available, the "
                     "worker count set explicitly):\n")
        lines.append("| mode | | 1 worker GB/s | 2 workers GB/s | speed-up |")
        lines.append("|---|---|---:|---:|---:|")
        lines.extend(inproc)
        lines.append("")


def extract_run(micro, mode, workers, verify):
    base = f"extract/mode:{mode}/workers:{workers}/verify_only:{verify}"
    return micro.get(base + "/process_time/real_time") or micro.get(base + "/real_time")


def memory(lines, m, rows):
    lines.append("### Peak memory against the token bound\n")
    workers = int(m["processors"])
    block = 4 * MiB
    frames = 3 * workers + 1
    buffers = 8 * MiB + 4 * MiB
    argon2 = 256 * MiB
    token_bound = frames * (block + 48) + buffers
    decoding_bound = token_bound + workers * block
    lines.append(f"With N = {workers} workers the tokens allow (3N + 1) = {frames} frames of at most 4 MiB + 48 B "
                 "between the reader and the writer; with the 8 MiB read buffer and the 4 MiB write buffer that is "
                 f"{token_bound / MiB:.0f} MiB. A worker decompressing a frame holds its output beside the "
                 "compressed frame (Zstandard does not decompress in place), so N more blocks can exist at once: "
                 f"{decoding_bound / MiB:.0f} MiB. Argon2id's 256 MiB come on top while the keys are derived and "
                 "are freed before extraction starts, so an encrypted run peaks at the larger of the two phases. "
                 "None of this counts the program's own code, libraries and heap bookkeeping, a few MiB.\n")
    lines.append("| command | peak MiB | of (3N + 1) frames + buffers | of (4N + 1) frames + buffers | "
                 "above Argon2id's 256 MiB |")
    lines.append("|---|---:|---:|---:|---:|")
    for name in rows:
        if name.startswith("quarn-"):
            rss = med(rows[name], "maxrss_kib") * 1024
            if name.endswith("-m0"):
                lines.append(f"| `{name}` | {rss / MiB:.0f} | {rss / token_bound * 100:.0f} % | "
                             f"{rss / decoding_bound * 100:.0f} % | |")
            else:
                lines.append(f"| `{name}` | {rss / MiB:.0f} | | | {(rss - argon2) / MiB:.0f} MiB |")
    lines.append("")


def micro_tables(lines, micro, m):
    if not micro:
        lines.append("(The micro-benchmarks were not run.)\n")
        return
    lines.append("### Micro-benchmarks (`quarn_bench`, medians of 3 repetitions, CPU time of the thread)\n")
    lines.append("| benchmark | GB/s | time per call |")
    lines.append("|---|---:|---:|")
    for name, b in micro.items():
        if name.startswith(("stage/", "extract/")):
            continue
        rate = fmt(gbps(b)) if "bytes_per_second" in b else "—"
        label = f" ({b['label']})" if b.get("label") else ""
        lines.append(f"| `{name}`{label} | {rate} | {b['cpu_time']:.4g} {b['time_unit']} |")
    lines.append("")

    stage = {k: v for k, v in micro.items() if k.startswith("stage/")}
    if not stage:
        return
    lines.append("### Cost of each stage (CPU seconds per GB of output)\n")
    lines.append("Measured in-process on a smaller tree of the same kind (`QUARN_BENCH_STAGE_MIB`, default 128 MiB; "
                 "log-uniform file sizes, half the bytes text-like): CPU time of the thread doing the stage's work.\n")
    lines.append("| stage | s/GB | files/s |")
    lines.append("|---|---:|---:|")
    for name, b in stage.items():
        cost = fmt(s_per_gb(b), 3) if "bytes_per_second" in b else "—"
        files = f"{b['files']:.0f}" if "files" in b else ""
        lines.append(f"| `{name}` | {cost} | {files} |")
    lines.append("")

    def cost(key):
        return s_per_gb(stage[key]) if key in stage else None

    reader = cost("stage/read")
    writes = {0: cost("stage/output/verify_only:0"), 1: cost("stage/output/verify_only:1")}
    processors = int(m["processors"])
    lines.append("### The bound of the pipeline, in-process\n")
    lines.append(f"On {processors} processors with N = {processors} workers, the pipeline cannot be faster than "
                 "any of: the single writer thread (1 / writer), the single reader thread (1 / reader), the "
                 "workers (N / decode), and the processors shared by all of them "
                 f"({processors} / (reader + decode + writer)). Compared with `extract()` measured in-process on the "
                 "same small tree (wall-clock, 2 workers):\n")
    lines.append("| mode | writes | reader | decode | writer | bound GB/s | limited by | in-process GB/s | of bound |")
    lines.append("|---|---|---:|---:|---:|---:|---|---:|---:|")
    for mode in ("0", "1", "2", "5"):
        decode = cost(f"stage/decode/mode:{mode}")
        for verify in (0, 1):
            writer = writes[verify]
            if None in (reader, decode, writer):
                continue
            limits = {"writer": 1 / writer, "reader": 1 / reader, "workers": processors / decode,
                      "processors": processors / (reader + decode + writer)}
            which = min(limits, key=limits.get)
            bound = limits[which]
            got = extract_run(micro, mode, processors, verify)
            achieved = gbps(got) if got else None
            lines.append(f"| {mode} | {'no (test)' if verify else 'yes'} | {fmt(reader, 3)} | {fmt(decode, 3)} | "
                         f"{fmt(writer, 3)} | {fmt(bound)} | {which} | "
                         f"{fmt(achieved) if achieved else '—'} | "
                         f"{(fmt(achieved / bound * 100, 0) + ' %') if achieved else '—'} |")
    lines.append("")


def cli_bound(lines, m, rows, micro):
    """The bound of the 1 GiB runs: stage costs from quarn_bench, except the
    cost of writing files, which is taken from the runs themselves (the CPU
    time extraction spends beyond testing, in mode 0): writing a tree that
    was never in memory costs more than the stage benchmark's rewriting of a
    small one."""
    needed = ["quarn-extract-m0", "quarn-test-m0", "quarn-list-m1"]
    stage = {k: v for k, v in micro.items() if k.startswith("stage/")}
    if any(n not in rows for n in needed) or "stage/hash" not in stage or "stage/read" not in stage:
        return
    gb = int(m["tree_bytes"]) / 1e9
    processors = int(m["processors"])

    def cpu(name):
        return med(rows[name], "user_s") + med(rows[name], "sys_s")

    writing = (cpu("quarn-extract-m0") - cpu("quarn-test-m0")) / gb
    hashing = s_per_gb(stage["stage/hash"])
    reader = s_per_gb(stage["stage/read"])
    opening = med(rows["quarn-list-m1"], "wall_s")
    lines.append("### The bound of the 1 GiB runs\n")
    lines.append(f"Writing the files (creating them and `write()` into the page cache) cost {fmt(writing, 3)} CPU "
                 "s/GB in the runs above (extraction's CPU time minus testing's, mode 0), against "
                 f"{fmt(s_per_gb(stage['stage/output/verify_only:0']) - s_per_gb(stage['stage/output/verify_only:1']), 3)}"
                 " s/GB in `stage/output`, which rewrites a small tree whose memory was just freed. The writer "
                 f"thread thus costs SHA-256 ({fmt(hashing, 3)}) + writing ({fmt(writing, 3)}) per GB when "
                 "extracting, SHA-256 alone when testing. Achieved throughput leaves out opening the archive "
                 f"(`quarn list`, {fmt(opening)} s) in modes 1 to 5.\n")
    lines.append("| command | reader | decode | writer | bound GB/s | limited by | achieved GB/s | of bound |")
    lines.append("|---|---:|---:|---:|---:|---|---:|---:|")
    for mode in "0125":
        key = f"stage/decode/mode:{mode}"
        if key not in stage:
            continue
        decode = s_per_gb(stage[key])
        for command, writer in ((f"quarn-extract-m{mode}", hashing + writing), (f"quarn-test-m{mode}", hashing)):
            if command not in rows:
                continue
            limits = {"writer": 1 / writer, "reader": 1 / reader, "workers": processors / decode,
                      "processors": processors / (reader + decode + writer)}
            which = min(limits, key=limits.get)
            wall = med(rows[command], "wall_s") - (opening if mode != "0" else 0)
            achieved = gb / wall
            lines.append(f"| `{command}` | {fmt(reader, 3)} | {fmt(decode, 3)} | {fmt(writer, 3)} | "
                         f"{fmt(limits[which])} | {which} | {fmt(achieved)} | {fmt(achieved / limits[which] * 100, 0)} % |")
    lines.append("")


def machine_table(lines, m):
    lines.append("### Machine and software\n")
    lines.append("| | |")
    lines.append("|---|---|")
    for key in ("date", "cpu", "processors", "features", "memory", "kernel", "filesystem", "compiler", "quarn"):
        lines.append(f"| {key} | {m.get(key, '?')} |")
    pkgs = ", ".join(f"{k[4:]} {v}" for k, v in m.items() if k.startswith("pkg_"))
    lines.append(f"| Debian packages | {pkgs} |")
    lines.append(f"| test tree | {m['tree_files']} files, {int(m['tree_bytes'])} bytes (`make_tree.py --size "
                 f"{m['size']} --seed 2024`) |")
    sizes = ", ".join(f"{k[8:]} {int(v) / MiB:.0f} MiB" for k, v in m.items() if k.startswith("archive_"))
    lines.append(f"| archives | {sizes} |")
    lines.append("")


def noise(lines, all_rows, used, noisy):
    foreign = [float(r["foreign_load"]) for rs in all_rows.values() for r in rs]
    if not foreign:
        return
    median, worst = statistics.median(foreign), max(foreign)
    disturbed = sum(1 for f in foreign if f >= noisy)
    kept = sum(len(rs) for rs in used.values())
    verdict = ("no run was disturbed" if disturbed == 0 else
               f"{disturbed} of {len(foreign)} runs had {noisy} processors or more of foreign load and were "
               f"repeated; the figures below use {kept} runs")
    lines.append(f"Foreign load (other work on this shared machine) over all runs: median {fmt(median)}, maximum "
                 f"{fmt(worst)} processors; {verdict}.\n")


def commands(lines, path, creation):
    lines.append("### Exact commands\n")
    lines.append("`$WORK` is the work folder (`QUARN_BENCH_DIR`), `$BUILD` the release build, `DEST` a new folder "
                 "for every run; every command ran under `/usr/bin/time -f '%e %M %U %S' bash -c "
                 "'set -o pipefail; ...'`.\n")
    if creation and os.path.exists(creation):
        lines.append("Archives (made once and kept):\n")
        lines.append("```")
        with open(creation) as f:
            lines.extend(line.rstrip("\n") for line in f)
        lines.append("```\n")
    lines.append("Timed, in turn, each round starting one command later:\n")
    lines.append("```")
    with open(path) as f:
        for line in f:
            name, _, cmd = line.rstrip("\n").partition("|")
            lines.append(f"{name}: {cmd}")
    lines.append("```\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--machine", required=True)
    ap.add_argument("--results", required=True)
    ap.add_argument("--commands", required=True)
    ap.add_argument("--creation")
    ap.add_argument("--micro")
    ap.add_argument("--report", required=True)
    ap.add_argument("--machine-scaling")
    ap.add_argument("--noisy", type=float, default=0.25, help="foreign load from which a run is disturbed")
    args = ap.parse_args()

    m = read_machine(args.machine)
    all_rows = read_results(args.results)
    rows = undisturbed(all_rows, args.noisy)
    micro = read_micro(args.micro)

    lines = [BEGIN, "", f"## Measured figures ({m['date']}, {m['size']} tree, {m['runs']} rounds)", ""]
    noise(lines, all_rows, rows, args.noisy)
    machine_table(lines, m)
    end_to_end(lines, m, rows, all_rows)
    ratios(lines, m, rows)
    scaling(lines, rows, micro, read_machine_scaling(args.machine_scaling))
    memory(lines, m, rows)
    micro_tables(lines, micro, m)
    cli_bound(lines, m, rows, micro)
    commands(lines, args.commands, args.creation)
    lines.append(END)
    section = "\n".join(lines) + "\n"

    if os.path.exists(args.report):
        with open(args.report) as f:
            text = f.read()
    else:
        text = "# Performance\n\n" + BEGIN + "\n" + END + "\n"
    start, stop = text.find(BEGIN), text.find(END)
    if start < 0 or stop < 0:
        text = text.rstrip("\n") + "\n\n" + section
    else:
        text = text[:start] + section + text[stop + len(END) + 1:]
    os.makedirs(os.path.dirname(os.path.abspath(args.report)), exist_ok=True)
    with open(args.report, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
