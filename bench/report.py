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

# The peers that extract the mixed tree; their RAM variants end in "-ram".
PEERS = ["tar-zstd", "age-zstd-tar", "gpg-zstd-tar", "7zz-lzma2", "7zz-stored"]
QUARN_MODES = {"0": "none", "1": "AES-256-GCM", "2": "ChaCha20-Poly1305 + AES-256-GCM",
               "5": "Serpent + Twofish + AES-256"}
PLACES = {"disk": "disk", "ram": "RAM", "-": "—"}
# What the peers' names stand for.
PEER_LABELS = {
    "tar-zstd": "`zstd -d | tar x`",
    "age-zstd-tar": "`age -d | zstd -d | tar x`",
    "tar-zstd-create": "`tar c | zstd -3 -T0`",
    "tar-zstd-age-create": "`tar c | zstd -3 -T0 | age -r`",
}
MiB = 1 << 20
DEFAULT_ARGON2_MIB = 256
SMALL_ARGON2_MIB = 8


def size_name(m):
    """QUARN_BENCH_SIZE as text: 1G -> 1 GiB."""
    size = m["size"]
    units = {"K": "KiB", "M": "MiB", "G": "GiB"}
    return f"{size[:-1]} {units[size[-1].upper()]}" if size and size[-1].upper() in units else f"{size} B"


def cell(text):
    """Text for a Markdown table cell: a | inside code would end the cell."""
    return text.replace("|", "\\|")


def peer_label(name):
    base = name.removesuffix("-ram").replace("-small", "").replace("-file", "")
    return cell(PEER_LABELS.get(base, f"`{name}`"))


def read_commands(path):
    """name -> {"place": disk / ram / -, "tree": big / file / small / -, "cmd": ...}, in the file's order."""
    out = {}
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            name, place, tree, cmd = line.split("|", 3)
            out[name] = {"place": place, "tree": tree, "cmd": cmd}
    return out


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


def size_of(m, tree):
    """Bytes of file data in a tree: big (the mixed tree), file (the one file), small (the small files)."""
    key = {"big": "tree_bytes", "file": "onefile_bytes", "small": "small_bytes"}.get(tree)
    return int(m[key]) if key and key in m else None


def wall(rows, name):
    return med(rows[name], "wall_s")


def round_ratios(rows, peer, quarn):
    """The peer's time over quarn's in each numbered round in which both ran
    undisturbed (a repeated run has no partner in its round)."""
    p = {r["round"]: float(r["wall_s"]) for r in rows[peer]}
    q = {r["round"]: float(r["wall_s"]) for r in rows[quarn]}
    return [p[k] / q[k] for k in p if k in q and not k.startswith("x")]


def ratio_text(rows, peer, quarn):
    """Median ratio and, when there are two rounds or more, their range."""
    ratio = wall(rows, peer) / wall(rows, quarn)
    per = round_ratios(rows, peer, quarn)
    spread = f" ({fmt(min(per))}–{fmt(max(per))})" if len(per) > 1 else ""
    return ratio, fmt(ratio) + spread


def goals(lines, m, rows):
    small = int(m.get("small_files", "0"))
    files = f"{small:,} small files" if small else "small files (left out of this run)"
    size = size_name(m)
    argon = m.get("small_argon2", "")
    targets = [
        (f"`quarn create`, {files}, mode none, ≥ 1.0 × `tar c | zstd -3 -T0`",
         "quarn-create-small-m0", "tar-zstd-create-small", 1.0),
        (f"`quarn create`, {files}, AES with `{argon}`, ≥ 1.0 × `tar c | zstd -3 -T0`",
         "quarn-create-small-m1", "tar-zstd-create-small", 1.0),
        (f"`quarn create`, {size} mixed tree, AES (Argon2id 256 MiB), ≥ 1.0 × `tar c | zstd -3 -T0 | age -r`",
         "quarn-create-m1", "tar-zstd-age-create", 1.0),
        (f"`quarn extract`, {files}, AES, output in RAM, ≥ 1.0 × `zstd -d | tar x`",
         "quarn-extract-small-m1-ram", "tar-zstd-small-ram", 1.0),
        (f"mode-1 extraction, {size} mixed tree, output in RAM, ≥ 1.3 × `age -d | zstd -d | tar x`",
         "quarn-extract-m1-ram", "age-zstd-tar-ram", 1.3),
        (f"mode-1 extraction, {size} mixed tree, output on disk, ≥ 1.0 × `age -d | zstd -d | tar x`",
         "quarn-extract-m1", "age-zstd-tar", 1.0),
    ]
    lines.append("### Goals\n")
    lines.append("Ratio: the peer's median wall time divided by quarn's (above 1: quarn is faster); in brackets the "
                 "lowest and highest ratio within one round, where the two ran shortly after one another. A goal is "
                 "met when the median ratio reaches it. Archives are made into RAM.\n")
    lines.append("| goal | quarn s | peer s | ratio (rounds) | met |")
    lines.append("|---|---:|---:|---:|---|")
    for text, quarn, peer, wanted in targets:
        if quarn not in rows or peer not in rows:
            lines.append(f"| {cell(text)} | | | | not measured |")
            continue
        ratio, shown = ratio_text(rows, peer, quarn)
        lines.append(f"| {cell(text)} | {fmt(wall(rows, quarn))} | {fmt(wall(rows, peer))} | {shown} | "
                     f"{'**met**' if ratio >= wanted else 'not met'} |")
    peaks = [f"`{n}` {med(rows[n], 'maxrss_kib') / 1024:.0f} MiB" for n in rows if n.startswith("quarn-create")]
    if peaks:
        lines.append(f"| peak memory of `quarn create` within the bound stated in the text: {', '.join(peaks)} | "
                     "| | | judged in the text |")
    lines.append("")


def timing_table(lines, m, names, rows, all_rows, cmds, rate="MB/s"):
    """Medians of the undisturbed runs of `names`; rate is MB/s of file data or files/s."""
    lines.append(f"| command | output | runs | median s | min–max s | {rate} | peak MiB | CPU s (user / system) | "
                 "foreign load (median / max) |")
    lines.append("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    order = list(cmds)
    names = sorted(names, key=lambda n: (not n.startswith("quarn-"), order.index(n) if n in order else len(order)))
    for name in names:
        rs = rows[name]
        walls = [float(r["wall_s"]) for r in rs]
        median = statistics.median(walls)
        user, system = med(rs, "user_s"), med(rs, "sys_s")
        foreign = [float(r["foreign_load"]) for r in rs]
        info = cmds.get(name, {"place": "-", "tree": "-"})
        if rate == "files/s":
            amount = int(m["small_files"]) if info["tree"] == "small" else None
            shown = fmt(amount / median, 0) if amount else "—"
        else:
            amount = size_of(m, info["tree"])
            shown = fmt(amount / median / 1e6, 0) if amount else "—"
        lines.append(f"| `{name}` | {PLACES.get(info['place'], info['place'])} | {len(rs)}/{len(all_rows[name])} | "
                     f"{fmt(median)} | {fmt(min(walls))}–{fmt(max(walls))} | {shown} | "
                     f"{med(rs, 'maxrss_kib') / 1024:.0f} | {fmt(user + system)} ({fmt(user)} / {fmt(system)}) | "
                     f"{fmt(statistics.median(foreign))} / {fmt(max(foreign))} |")
    lines.append("")


def is_reading(name):
    """quarn's extraction, testing and listing (not create)."""
    return name.startswith(("quarn-extract", "quarn-test", "quarn-list"))


def end_to_end(lines, m, rows, all_rows, cmds):
    tree_bytes = int(m["tree_bytes"])
    names = [n for n in rows if cmds.get(n, {}).get("tree") in ("big", "-") and "create" not in n]
    lines.append("### Extraction and testing of the mixed tree, end to end\n")
    lines.append(f"Throughput is the tree's {tree_bytes / 1e9:.3f} GB of file data divided by the median wall time "
                 "of the undisturbed runs (runs column: used / made); each run wrote into a new folder that was "
                 "deleted after the run, in RAM (the folder named under \"Machine and software\") or on the disk "
                 "of the work folder (output column), and `sync` ran before every run, outside its time. "
                 "Peak memory is the maximum resident set of the largest process (for a pipeline, of its largest "
                 "member), from `/usr/bin/time`. CPU is user + system time of all processes of the command. "
                 "Foreign load is the busy processor time of the rest of the machine during the run, in processors "
                 "(it includes kernel threads writing back the run's own files).\n")
    timing_table(lines, m, names, rows, all_rows, cmds)


def ratios(lines, m, rows, cmds):
    tree_bytes = int(m["tree_bytes"])
    lines.append("### quarn against the peers, mixed tree\n")
    lines.append("The peer's median wall time divided by quarn's (above 1: quarn is faster), output in the same "
                 "place. Testing writes nothing and stands with the outputs in RAM, the nearer comparison. The quarn "
                 "figures include opening the archive: Argon2id at 256 MiB, 3 passes, 4 lanes and the file list "
                 "(`quarn list`, median below); the peers' key handling is cheap (X25519 for age, a fast S2K for "
                 "gpg, SHA-256 rounds for 7-Zip).\n")
    for place, suffix, title in (("ram", "-ram", "Output in RAM"), ("disk", "", "Output on disk")):
        peers = [p + suffix for p in PEERS if p + suffix in rows]
        quarns = [n for n in rows if is_reading(n) and not n.startswith("quarn-list")
                  and cmds.get(n, {}).get("tree") == "big"
                  and (cmds[n]["place"] == place or (place == "ram" and cmds[n]["place"] == "-"))]
        if not peers or not quarns:
            continue
        lines.append(f"{title}:\n")
        lines.append("| quarn | " + " | ".join(f"`{p}`" for p in peers) + " |")
        lines.append("|---|" + "---:|" * len(peers))
        for name in quarns:
            q = wall(rows, name)
            lines.append(f"| `{name}` | " + " | ".join(fmt(wall(rows, p) / q) for p in peers) + " |")
        lines.append("")
    if "quarn-list-m1" in rows:
        opening = wall(rows, "quarn-list-m1")
        lines.append(f"Opening an archive (`quarn list`, mode 1: Argon2id and the file list) takes "
                     f"{fmt(opening)} s. Without it, extraction and testing run at:\n")
        lines.append("| command | MB/s without opening |")
        lines.append("|---|---:|")
        for name in rows:
            if is_reading(name) and not name.startswith("quarn-list") and cmds.get(name, {}).get("tree") == "big":
                rest = wall(rows, name) - (opening if "-m0" not in name else 0)
                lines.append(f"| `{name}` | {fmt(tree_bytes / rest / 1e6, 0) if rest > 0 else '—'} |")
        lines.append("")


def ram_and_disk(lines, rows):
    pairs = [("quarn-extract-m1", "age-zstd-tar"), ("quarn-extract-m0", "tar-zstd")]
    pairs = [p for p in pairs if all(n in rows for n in (p[0], p[1], p[0] + "-ram", p[1] + "-ram"))]
    if not pairs:
        return
    lines.append("### Output in RAM against output on disk\n")
    lines.append("The same extraction of the mixed tree, into the tmpfs and onto the disk of the work folder. "
                 "Ratio: the peer's median time over quarn's; in brackets the range over the rounds.\n")
    lines.append("| quarn against | RAM: quarn s | peer s | ratio | disk: quarn s | peer s | ratio |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|")
    for quarn, peer in pairs:
        cells = []
        for suffix in ("-ram", ""):
            cells += [fmt(wall(rows, quarn + suffix)), fmt(wall(rows, peer + suffix)),
                      ratio_text(rows, peer + suffix, quarn + suffix)[1]]
        lines.append(f"| `{quarn}` against {peer_label(peer)} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("What the disk costs each command (median time on disk over median time in RAM):\n")
    lines.append("| command | RAM s | disk s | disk / RAM |")
    lines.append("|---|---:|---:|---:|")
    for name in [n for p in pairs for n in p]:
        a, b = wall(rows, name + "-ram"), wall(rows, name)
        lines.append(f"| `{name}` | {fmt(a)} | {fmt(b)} | {fmt(b / a)} |")
    lines.append("")


def peer_table(lines, rows, pairs):
    lines.append("| quarn | peer | quarn s | peer s | ratio (rounds) |")
    lines.append("|---|---|---:|---:|---:|")
    for quarn, peer in pairs:
        if quarn in rows and peer in rows:
            lines.append(f"| `{quarn}` | `{peer}` | {fmt(wall(rows, quarn))} | {fmt(wall(rows, peer))} | "
                         f"{ratio_text(rows, peer, quarn)[1]} |")
    lines.append("")


def small_files(lines, m, rows, all_rows, cmds):
    names = [n for n in rows if cmds.get(n, {}).get("tree") == "small" and "create" not in n]
    if not names:
        return
    lines.append(f"### Many small files: extraction\n")
    lines.append(f"{int(m['small_files']):,} files of 0-1 KiB in {int(m['small_files']) // 100:,} folders "
                 f"({int(m['small_bytes']) / 1e6:.1f} MB; `make_tree.py --small-files`), output in RAM. The AES "
                 f"archive uses `{m.get('small_argon2', '')}`. System time is where the work per file shows.\n")
    timing_table(lines, m, names, rows, all_rows, cmds, rate="files/s")
    peer_table(lines, rows, [(n, "tar-zstd-small-ram") for n in names if n.startswith("quarn-")])


def one_file(lines, m, rows, all_rows, cmds):
    names = [n for n in rows if cmds.get(n, {}).get("tree") == "file"]
    if not names:
        return
    lines.append("### One big file: extraction\n")
    lines.append(f"One file of {int(m['onefile_bytes']) / 1e9:.3f} GB (the mixed tree's files concatenated in "
                 "the order of their paths), mode none against `zstd -d | tar x`, output in RAM.\n")
    timing_table(lines, m, names, rows, all_rows, cmds)
    peer_table(lines, rows, [(n, "tar-zstd-file-ram") for n in names if n.startswith("quarn-")])


def making_archives(lines, m, rows, all_rows, cmds):
    names = [n for n in rows if "create" in n]
    if not names:
        return
    lines.append("### Making archives\n")
    small = (f", those of the small files `{m.get('small_argon2')}`" if int(m.get("small_files", "0")) else "")
    lines.append("Every archive is written into RAM (and deleted after the run), so that the disk's writeback "
                 "decides nothing; the trees are read from the page cache. The encrypted quarn archives of the "
                 f"mixed tree use Argon2id at its default 256 MiB{small}; Argon2id's memory counts in their peaks. "
                 "MB/s and files/s are of the tree read.\n")
    for tree, title, rate in (("big", f"The {size_name(m)} mixed tree:", "MB/s"),
                              ("small", f"The {int(m.get('small_files', '0')):,} small files:", "files/s")):
        of_tree = [n for n in names if cmds.get(n, {}).get("tree") == tree]
        if of_tree:
            lines.append(f"{title}\n")
            timing_table(lines, m, of_tree, rows, all_rows, cmds, rate=rate)
    lines.append("quarn against the peers (the peer's median time over quarn's; in brackets the range over the "
                 "rounds) and peak memory:\n")
    lines.append(f"| quarn | {cell(PEER_LABELS['tar-zstd-create'])} | {cell(PEER_LABELS['tar-zstd-age-create'])} | "
                 "peak MiB: quarn / peer / peer with age |")
    lines.append("|---|---:|---:|---:|")
    for name in names:
        if not name.startswith("quarn-"):
            continue
        suffix = "-small" if cmds[name]["tree"] == "small" else ""
        peers = ["tar-zstd-create" + suffix, "tar-zstd-age-create" + suffix]
        cells = [ratio_text(rows, p, name)[1] if p in rows else "—" for p in peers]
        peaks = " / ".join(f"{med(rows[n], 'maxrss_kib') / 1024:.0f}" if n in rows else "—" for n in [name] + peers)
        lines.append(f"| `{name}` | " + " | ".join(cells) + f" | {peaks} |")
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
    pairs = [(n.replace("-1cpu", ""), n) for n in rows if n.startswith("quarn-") and "-1cpu" in n]
    pairs = [p for p in pairs if p[0] in rows]
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
    token_bound = frames * (block + 48) + buffers
    decoding_bound = token_bound + workers * block
    lines.append(f"With N = {workers} workers the tokens allow (3N + 1) = {frames} frames of at most 4 MiB + 48 B "
                 "between the reader and the writer; with the 8 MiB read buffer and the 4 MiB write buffer that is "
                 f"{token_bound / MiB:.0f} MiB. A worker decompressing a frame holds its output beside the "
                 "compressed frame (Zstandard does not decompress in place), so N more blocks can exist at once: "
                 f"{decoding_bound / MiB:.0f} MiB. Argon2id's 256 MiB come on top while the keys are derived and "
                 "are freed before extraction starts, so an encrypted run peaks at the larger of the two phases. "
                 "None of this counts the program's own code, libraries and heap bookkeeping, a few MiB. "
                 f"(The small files' AES archive uses Argon2id at {SMALL_ARGON2_MIB} MiB.)\n")
    lines.append("| command | peak MiB | of (3N + 1) frames + buffers | of (4N + 1) frames + buffers | "
                 "above Argon2id's memory |")
    lines.append("|---|---:|---:|---:|---:|")
    for name in rows:
        if is_reading(name):
            rss = med(rows[name], "maxrss_kib") * 1024
            if "-m0" in name:
                lines.append(f"| `{name}` | {rss / MiB:.0f} | {rss / token_bound * 100:.0f} % | "
                             f"{rss / decoding_bound * 100:.0f} % | |")
            else:
                argon2 = (SMALL_ARGON2_MIB if "-small-" in name else DEFAULT_ARGON2_MIB) * MiB
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
    """The bound of the runs on the mixed tree: stage costs from quarn_bench,
    except the cost of writing files, which is taken from the runs
    themselves (the CPU time extraction spends beyond testing, in mode 0),
    for the output in RAM and on disk: writing a tree that was never in
    memory costs more than the stage benchmark's rewriting of a small one."""
    stage = {k: v for k, v in micro.items() if k.startswith("stage/")}
    if any(n not in rows for n in ("quarn-test-m0", "quarn-list-m1")) or \
            any(k not in stage for k in ("stage/hash", "stage/read", "stage/output/verify_only:0",
                                         "stage/output/verify_only:1")):
        return
    places = [(suffix, label) for suffix, label in (("-ram", "RAM"), ("", "disk")) if f"quarn-extract-m0{suffix}" in rows]
    if not places:
        return
    gb = int(m["tree_bytes"]) / 1e9
    processors = int(m["processors"])

    def cpu(name):
        return med(rows[name], "user_s") + med(rows[name], "sys_s")

    writing = {suffix: (cpu(f"quarn-extract-m0{suffix}") - cpu("quarn-test-m0")) / gb for suffix, _ in places}
    hashing = s_per_gb(stage["stage/hash"])
    reader = s_per_gb(stage["stage/read"])
    opening = wall(rows, "quarn-list-m1")
    costs = " and ".join(f"{fmt(writing[suffix], 3)} CPU s/GB {'into RAM' if suffix else 'onto the disk'}"
                         for suffix, _ in places)
    lines.append(f"### The bound of the {size_name(m)} runs\n")
    lines.append(f"Writing the files (creating them and `write()`) cost {costs} in the runs above (extraction's CPU "
                 "time minus testing's, mode 0), against "
                 f"{fmt(s_per_gb(stage['stage/output/verify_only:0']) - s_per_gb(stage['stage/output/verify_only:1']), 3)}"
                 " s/GB in `stage/output`, which rewrites a small tree whose memory was just freed. The writer "
                 f"thread thus costs SHA-256 ({fmt(hashing, 3)}) + writing per GB when extracting, SHA-256 alone "
                 "when testing. Achieved throughput leaves out opening the archive "
                 f"(`quarn list`, {fmt(opening)} s) in modes 1 to 5.\n")
    lines.append("| command | output | reader | decode | writer | bound GB/s | limited by | achieved GB/s | of bound |")
    lines.append("|---|---|---:|---:|---:|---:|---|---:|---:|")
    for mode in "0125":
        key = f"stage/decode/mode:{mode}"
        if key not in stage:
            continue
        decode = s_per_gb(stage[key])
        runs = [(f"quarn-extract-m{mode}{suffix}", label, hashing + writing[suffix]) for suffix, label in places]
        runs.append((f"quarn-test-m{mode}", "—", hashing))
        for command, label, writer in runs:
            if command not in rows:
                continue
            limits = {"writer": 1 / writer, "reader": 1 / reader, "workers": processors / decode,
                      "processors": processors / (reader + decode + writer)}
            which = min(limits, key=limits.get)
            achieved = gb / (wall(rows, command) - (opening if mode != "0" else 0))
            lines.append(f"| `{command}` | {label} | {fmt(reader, 3)} | {fmt(decode, 3)} | {fmt(writer, 3)} | "
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
    lines.append(f"| outputs in RAM | {m.get('ram', '?')} |")
    lines.append(f"| mixed tree | {m['tree_files']} files, {int(m['tree_bytes'])} bytes (`make_tree.py --size "
                 f"{m['size']} --seed 2024`) |")
    if "onefile_bytes" in m:
        lines.append(f"| one file | {int(m['onefile_bytes'])} bytes (the mixed tree's files concatenated) |")
    if int(m.get("small_files", "0")):
        lines.append(f"| small files | {m['small_files']} files, {int(m['small_bytes'])} bytes (`make_tree.py "
                     f"--small-files {m['small_files']} --seed 2024`) |")
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
    lines.append("`$WORK` is the work folder (`QUARN_BENCH_DIR`), `$BUILD` the release build, `$RAM` the folder in "
                 "RAM, `DEST` a new path for every run, in RAM or in `$WORK/out` on disk (in brackets after the "
                 "name); every command ran under `/usr/bin/time -f '%e %M %U %S' bash -c 'set -o pipefail; ...'`, "
                 "after `sync`. After the first round, every extraction's file count was checked, and every "
                 "archive a timed command made was checked (`quarn test`, `zstd -t`).\n")
    if creation and os.path.exists(creation):
        lines.append("Archives (made once and kept):\n")
        lines.append("```")
        with open(creation) as f:
            lines.extend(line.rstrip("\n") for line in f)
        lines.append("```\n")
    lines.append("Timed, in turn, each round starting one command later:\n")
    lines.append("```")
    for name, c in read_commands(path).items():
        where = {"ram": "RAM", "disk": "disk", "-": "writes nothing"}.get(c["place"], c["place"])
        lines.append(f"{name} ({where}): {c['cmd']}")
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
    cmds = read_commands(args.commands)

    lines = [BEGIN, "", f"## Measured figures ({m['date']}, {m['size']} tree, {m['runs']} round{'' if m['runs'] == '1' else 's'})", ""]
    goals(lines, m, rows)
    noise(lines, all_rows, rows, args.noisy)
    machine_table(lines, m)
    end_to_end(lines, m, rows, all_rows, cmds)
    ratios(lines, m, rows, cmds)
    ram_and_disk(lines, rows)
    small_files(lines, m, rows, all_rows, cmds)
    one_file(lines, m, rows, all_rows, cmds)
    making_archives(lines, m, rows, all_rows, cmds)
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
