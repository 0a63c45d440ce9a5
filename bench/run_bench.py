#!/usr/bin/env python3
"""Runs the benchmarks of a Release build tree and prints one table.

    run_bench.py BUILD_DIR [--devices "1 2"] [--ports "1 2 4"] [--per-port 2]
                 [--startup-runs 5] [--sections codec,cycle,split,parallel,startup,window]

Codec: bench_codec (Google Benchmark) beside zlib. Device cycle: fieldprog-cli against
fieldprog-emu on a pseudo-terminal paced at 9600 baud, one full cycle per device with a
16 KiB .BIN, compared with the floor the line and the device's own delays allow. Split: one
measured cycle divided into line time, the fixed pause, the emulator's delays, the polling
pauses the protocol prescribes and our own overhead, against the same cycle simulated with no
overhead at all (bench_cycle_model). Parallel: one fieldprog-cli programming N emulated devices
on N ports at once, its devices per hour beside N times the single-port figure. Start-up: time until the downloader's window is shown
(offscreen), when the window program was built. Window: its resident memory while it waits
for the button.
"""
import argparse
import contextlib
import json
import math
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

# The emulator's settings for the cycle; the floor below is computed from the same numbers.
EMU = {
    "baud": 9600,
    "reply_delay_ms": 80,
    "page_ms": 2,
    "pages": 0x0400,
    "press_after_ms": 300,
    "next_device_ms": 1000,
    "fw_version": "123456 07 08 09",
    "status": "01",
}
FIRST_C_MS = 150       # the emulator's "C" follows the echo of ".X" this much later
EOT_TO_QUIT_MS = 5000  # the host's fixed pause between EOT and ".Q"
IMAGE_BYTES = 16 * 1024


def cycle_floor_ms(image_bytes, devices):
    """Least time N full cycles can take: every byte both ways at 10 bits per byte, plus the
    fixed pause and every delay the emulator is configured with. Parts that overlap on the
    line (the progress counter runs while the flash erases) are counted once."""
    byte_ms = 10 * 1000.0 / EMU["baud"]
    version_reply = 2 + len(EMU["fw_version"]) + 2
    status_reply = 2 + len(EMU["status"]) + 1 + 4 + 2
    blocks = math.ceil(image_bytes / 128)
    wire = (
        1                          # "P": the button
        + 2 * 1 + 2 * 2 + version_reply  # "." and ".V" with echoes, the version with the echo
        + 2 * 2 + status_reply     # ".K"
        + 2 * 2 + 10               # ".C", the last counter step with its line end
        + 2 * 2 + 1                # ".X", "C"
        + blocks * (133 + 1)       # blocks and their ACKs
        + 2 * 1                    # EOT
        + 2 * 2                    # ".Q" (the host is done with its echo)
    )
    fixed = (
        2 * EMU["reply_delay_ms"]  # ".K" reply, start of the ".C" counter
        + (EMU["pages"] - 1) * EMU["page_ms"]  # the erase the counter reports
        + FIRST_C_MS + EOT_TO_QUIT_MS
    )
    per_device = wire * byte_ms + fixed
    return EMU["press_after_ms"] + devices * per_device + (devices - 1) * EMU["next_device_ms"]


def emu_args():
    return ["--baud", str(EMU["baud"]), "--reply-delay-ms", str(EMU["reply_delay_ms"]),
            "--page-ms", str(EMU["page_ms"]), "--pages", "%04X" % EMU["pages"],
            "--press-after-ms", str(EMU["press_after_ms"]),
            "--next-device-ms", str(EMU["next_device_ms"]),
            "--fw-version", EMU["fw_version"], "--status", EMU["status"]]


def split_cycle(measured, model):
    """Divides one measured cycle (wall, from the downloader's start to its exit) into parts
    that add up to it. Line time, pause and device delays are what the cycle cannot do without;
    polling is what the simulated cycle (the real host code in simulated time, no overhead)
    takes beyond them; our own overhead is what the measured cycle takes beyond the simulation."""
    byte_ms = 10 * 1000.0 / EMU["baud"]
    one_device = cycle_floor_ms(IMAGE_BYTES, 1)
    fixed = (2 * EMU["reply_delay_ms"] + (EMU["pages"] - 1) * EMU["page_ms"] + FIRST_C_MS
             + EMU["press_after_ms"])
    line = one_device - fixed - EOT_TO_QUIT_MS
    wall = measured["cli"]["wall_s"] * 1000.0
    parts = {
        "line_ms": line,
        "pause_ms": model["pause_ms"],
        "device_delays_ms": fixed,
        "polling_ms": model["cycle_ms"] - line - model["pause_ms"] - fixed,
        "own_ms": wall - model["cycle_ms"],
    }
    parts.update({
        "wall_ms": wall, "model_ms": model["cycle_ms"], "line_bytes": round(line / byte_ms),
        "echo_read_slept_ms": model["echo_read_ms"], "reply_rounds_slept_ms": model["reply_round_ms"],
        "own_pct": 100.0 * (wall - model["cycle_ms"]) / wall,
        "cpu_pct": 100.0 * measured["cli"]["cpu_s"] * 1000.0 / wall,
        "emu_cpu_pct": 100.0 * measured["emu"]["cpu_s"] * 1000.0 / wall,
    })
    return parts


def run_split(bindir, image, measured):
    model_exe = os.path.join(bindir, "bench_cycle_model")
    if not os.path.exists(model_exe):
        return None
    out = subprocess.run([model_exe, "--image", image] + emu_args(), check=True,
                         capture_output=True, text=True).stdout
    return split_cycle(measured, json.loads(out))


@contextlib.contextmanager
def window_under_probe(bindir, image, **extra_env):
    """A downloader of `image` whose window the start-up probe watches, with COM 1 on an
    emulator that never presses; yields (downloader, env), or None when a part is missing."""
    probe = os.path.join(bindir, "libfp_startup_probe.so")
    if not (os.path.exists(probe) and os.path.exists(os.path.join(bindir, "fieldprog"))):
        yield None
        return
    work = tempfile.mkdtemp(prefix="fieldprog-bench-")
    downloader = os.path.join(work, "FW16K")
    subprocess.run([os.path.join(bindir, "fieldprog-build"), "-o", downloader, image],
                   check=True, capture_output=True)
    emu = subprocess.Popen([os.path.join(bindir, "fieldprog-emu"), "--press-after-ms", "-1", "--stay"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = emu.stdout.readline().split()[1]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", FIELDPROG_COM1=port, LD_PRELOAD=probe,
               **extra_env)
    try:
        yield downloader, env
    finally:
        emu.terminate()
        emu.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


def run_window_rss(bindir, image, hold_ms=3000):
    """Resident memory of the downloader window while it waits for the button (offscreen)."""
    with window_under_probe(bindir, image, FP_PROBE_WAIT_MS=str(hold_ms)) as window:
        if window is None:
            return None
        downloader, env = window
        done = subprocess.run([downloader], env=env, capture_output=True, text=True, timeout=60)
    line = [l for l in done.stdout.splitlines() if l.startswith("WAITING_RSS_KB")]
    fields = line[0].split() if line else None
    return {"rss_kb": int(fields[1]), "peak_kb": int(fields[3])} if fields else {}


def timed(cmd, **kw):
    """Starts cmd under /usr/bin/time; returns (process, file with the figures)."""
    out = tempfile.NamedTemporaryFile("r", suffix=".time", delete=False)
    proc = subprocess.Popen(["/usr/bin/time", "-o", out.name, "-f", "%e %U %S %M"] + cmd, **kw)
    return proc, out.name


def read_time(path):
    with open(path) as f:
        line = f.read().strip().splitlines()[-1].split()
    os.unlink(path)
    wall, user, system, rss = float(line[0]), float(line[1]), float(line[2]), int(line[3])
    return {"wall_s": wall, "cpu_s": user + system, "rss_kb": rss}


def firmware_bin(path):
    # Random data bytes: the transfer's time does not depend on them.
    rnd = random.Random(16)
    n = IMAGE_BYTES - 8
    with open(path, "wb") as f:
        f.write(b"\0" * 6 + struct.pack(">H", n) + bytes(rnd.randrange(256) for _ in range(n)))


def run_codec(bindir):
    out = subprocess.run(
        [os.path.join(bindir, "bench_codec"), "--benchmark_format=json", "--benchmark_min_time=0.5"],
        check=True, capture_output=True, text=True).stdout
    rows = {}
    for b in json.loads(out)["benchmarks"]:
        op = b["name"].split("/")[0].replace("BM_", "")
        rows[(op, b["label"])] = {"mbs": b["bytes_per_second"] / 1e6, "ratio": b["ratio"]}
    return rows


def run_cycle(bindir, devices, image):
    emu_cmd = ([os.path.join(bindir, "fieldprog-emu"), "--devices", str(devices)] + emu_args()
               + ["--expect", image])
    emu, emu_time = timed(emu_cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = emu.stdout.readline().split()[1]
    cli_cmd = [os.path.join(bindir, "fieldprog-cli"), "download", "--port", port,
               "--image", image, "--count", str(devices)]
    cli, cli_time = timed(cli_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cli_rc = cli.wait(timeout=120 + 60 * devices)
    emu_out = emu.stdout.read()
    emu.wait(timeout=30)
    matched = emu_out.count("EXPECT MATCH")
    return {"devices": devices, "ok": cli_rc == 0 and matched == devices,
            "cli": read_time(cli_time), "emu": read_time(emu_time),
            "floor_s": cycle_floor_ms(IMAGE_BYTES, devices) / 1000.0}


def run_parallel(bindir, ports, per_port, image):
    """One station run: `ports` emulators at 9600 baud, each serving `per_port` devices, and one
    fieldprog-cli programming all of them at once."""
    emus = []
    for _ in range(ports):
        cmd = ([os.path.join(bindir, "fieldprog-emu"), "--devices", str(per_port)] + emu_args()
               + ["--expect", image])
        emus.append(subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True))
    names = [e.stdout.readline().split()[1] for e in emus]
    cli_cmd = [os.path.join(bindir, "fieldprog-cli"), "download", "--image", image,
               "--count", str(ports * per_port)]
    for name in names:
        cli_cmd += ["--port", name]
    cli, cli_time = timed(cli_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cli_rc = cli.wait(timeout=120 + 60 * per_port)
    matched = 0
    for e in emus:
        matched += e.stdout.read().count("EXPECT MATCH")
        e.wait(timeout=30)
    figures = read_time(cli_time)
    devices = ports * per_port
    return {"ports": ports, "devices": devices, "ok": cli_rc == 0 and matched == devices,
            "wall_s": figures["wall_s"], "cpu_s": figures["cpu_s"],
            "per_hour": devices * 3600.0 / figures["wall_s"],
            "cpu_pct_per_port": 100.0 * figures["cpu_s"] / figures["wall_s"] / ports}


def run_startup(bindir, image, runs):
    times = []
    with window_under_probe(bindir, image) as window:
        if window is None:
            return None
        downloader, env = window
        for _ in range(runs):
            start = time.time_ns()
            done = subprocess.run([downloader], env=env, capture_output=True, text=True, timeout=60)
            shown = [l for l in done.stdout.splitlines() if l.startswith("WINDOW_SHOWN_NS")]
            if shown:
                times.append((int(shown[0].split()[1]) - start) / 1e6)
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--devices", default="1 2")
    parser.add_argument("--startup-runs", type=int, default=5)
    parser.add_argument("--ports", default="1 2 4", help="port counts of the station runs")
    parser.add_argument("--per-port", type=int, default=2, help="devices per port in a station run")
    parser.add_argument("--sections", default="codec,cycle,split,parallel,startup,window",
                        help="comma-separated subset of codec,cycle,split,parallel,startup,window")
    parser.add_argument("--json", help="also write the figures here")
    args = parser.parse_args()
    sections = set(args.sections.split(","))
    bindir = os.path.join(args.build, "bin")
    figures = {"cycle": []}

    if "codec" in sections:
        codec = run_codec(bindir)
        figures["codec"] = {"%s/%s" % k: v for k, v in codec.items()}
        print("Codec (CPU-time throughput of the uncompressed bytes; ratio = packed / original)")
        print("  %-12s %-13s %10s %8s   %-22s" % ("data", "operation", "MB/s", "ratio", "vs zlib Huffman-only"))
        pairs = [("ZelEncode", "DeflateHuffmanOnly"), ("ZelDecode", "InflateHuffmanOnly")]
        for data in ("firmware16k", "mixed64k"):
            for ours, theirs in pairs:
                a, b = codec[(ours, data)], codec[(theirs, data)]
                print("  %-12s %-13s %10.1f %8.3f   speed x%.2f, size x%.3f" %
                      (data, ours, a["mbs"], a["ratio"], a["mbs"] / b["mbs"], a["ratio"] / b["ratio"]))
                print("  %-12s %-13s %10.1f %8.3f" % ("", theirs.replace("HuffmanOnly", ""), b["mbs"], b["ratio"]))
        print()

    with tempfile.TemporaryDirectory(prefix="fieldprog-bench-") as work:
        image = os.path.join(work, "FW16K.BIN")
        firmware_bin(image)
        if "cycle" in sections:
            print("Device cycle (fieldprog-cli download vs fieldprog-emu at 9600 baud, 16 KiB .BIN)")
            print("  %-7s %-4s %9s %9s %7s %9s %9s %9s %9s" %
                  ("devices", "ok", "wall s", "floor s", "ratio", "cli CPU s", "cli RSS", "emu CPU s", "emu RSS"))
            for n in [int(x) for x in args.devices.split()]:
                r = run_cycle(bindir, n, image)
                figures["cycle"].append(r)
                print("  %-7d %-4s %9.2f %9.2f %7.3f %9.2f %7d kB %9.2f %6d kB" %
                      (n, "yes" if r["ok"] else "NO", r["cli"]["wall_s"], r["floor_s"],
                       r["cli"]["wall_s"] / r["floor_s"], r["cli"]["cpu_s"], r["cli"]["rss_kb"],
                       r["emu"]["cpu_s"], r["emu"]["rss_kb"]))
            print()

        if "split" in sections:
            one = [r for r in figures["cycle"] if r["devices"] == 1]
            if not one:
                one = [run_cycle(bindir, 1, image)]
                figures["cycle"].append(one[0])
            split = run_split(bindir, image, one[0])
            figures["split"] = split
            if split is None:
                print("Cycle split: bench_cycle_model was not built: skipped")
            else:
                wall = split["wall_ms"]
                print("One device cycle split (%s; wall %.0f ms, simulated with no overhead %.0f ms)" %
                      ("image verified" if one[0]["ok"] else "IMAGE NOT VERIFIED", wall, split["model_ms"]))
                for key, label in (("line_ms", "line time (%d bytes at 9600 8N1)" % split["line_bytes"]),
                                   ("pause_ms", "fixed pause between EOT and .Q"),
                                   ("device_delays_ms", "emulator's configured delays"),
                                   ("polling_ms", "polling pauses the protocol prescribes"),
                                   ("own_ms", "our own overhead")):
                    print("  %-42s %8.0f ms %6.2f %%" % (label, split[key], 100.0 * split[key] / wall))
                print("  (slept in echo reads %.0f ms, in reply and button rounds %.0f ms, mostly while"
                      " the device worked)" % (split["echo_read_slept_ms"], split["reply_rounds_slept_ms"]))
                print("  host CPU %.2f %% of wall, emulator CPU %.2f %%" % (split["cpu_pct"], split["emu_cpu_pct"]))
            print()

        if "parallel" in sections:
            print("Several ports at once (one fieldprog-cli, N emulators at 9600 baud, %d devices each)"
                  % args.per_port)
            print("  %-5s %-4s %8s %10s %14s %7s %14s" %
                  ("ports", "ok", "wall s", "devices/h", "N x 1 port /h", "ratio", "CPU % per port"))
            single = None
            figures["parallel"] = []
            for n in [int(x) for x in args.ports.split()]:
                r = run_parallel(bindir, n, args.per_port, image)
                figures["parallel"].append(r)
                if n == 1:
                    single = r["per_hour"]
                scaled = single * n if single else float("nan")
                print("  %-5d %-4s %8.1f %10.0f %14.0f %7.3f %14.2f" %
                      (n, "yes" if r["ok"] else "NO", r["wall_s"], r["per_hour"], scaled,
                       r["per_hour"] / scaled, r["cpu_pct_per_port"]))
            print()

        if "startup" in sections:
            times = run_startup(bindir, image, args.startup_runs)
            figures["startup_ms"] = times
            if times is None:
                print("Start-up: the window program was not built (no Qt): skipped")
            elif not times:
                print("Start-up: the window never showed")
            else:
                print("Start-up (exec to main window shown, offscreen, 16 KiB payload, %d runs)" % len(times))
                print("  median %.1f ms, min %.1f ms, max %.1f ms" %
                      (statistics.median(times), min(times), max(times)))
            print()

        if "window" in sections:
            rss = run_window_rss(bindir, image)
            figures["window_rss"] = rss
            if rss is None:
                print("Window memory: the window program was not built (no Qt): skipped")
            elif not rss:
                print("Window memory: the window never reached its wait for the button")
            else:
                print("Window waiting for the button (offscreen, 16 KiB payload): RSS %d kB, peak %d kB" %
                      (rss["rss_kb"], rss["peak_kb"]))

    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=2)
    ok = all(r["ok"] for r in figures["cycle"] + figures.get("parallel", []))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
