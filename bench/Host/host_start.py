#!/usr/bin/env python3
"""A host's whole life for one request, as a browser's sendNativeMessage gives it: start the
program, send GetVersion, read the answer, close its input and wait for it to end.

Compares builds measured in the same run, interleaved (each round starts every host once, in a
rotating order), so that the machine's load falls on all of them alike:

    python3 bench/Host/host_start.py old=/path/to/old/VarnellHost.app/bin/VarnellHost \\
        new=build/release/VarnellHost.app/bin/VarnellHost [--runs 60]

For each host: the median (and 10th and 90th percentile) of the wall time from the start to the
end of the process, its CPU time and its minor page faults; the ratio of the medians to the
first host's; and, from one more run under LD_DEBUG=files, how many shared objects the dynamic
loader mapped and which of them are the toolkit's (GTK and the libraries only it needs). The
dialogs are as a browser's host has them (the default backend; DISPLAY as in this shell).
"""
import argparse
import json
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time

REQUEST = json.dumps({"function": "GetVersion", "params": []}).encode()
TOOLKIT = ("libgtk-", "libgdk-", "libgdk_pixbuf", "libpango", "libcairo", "libatk", "libharfbuzz",
           "libTamsel64Gtk")


def environment(extra=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("PLATFORM_DIALOG_BACKEND", "PLATFORM_DIALOG_SCRIPT", "QOVA_LOG_CONF_PATH",
                        "LD_DEBUG", "LD_DEBUG_OUTPUT", "LC_ALL", "LC_MESSAGES")}
    env["LANG"] = "C"
    env.update(extra or {})
    return env


def one_run(host, env):
    """Wall seconds, CPU seconds and minor faults of one conversation."""
    start = time.perf_counter()
    child = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    child.stdin.write(struct.pack("<I", len(REQUEST)) + REQUEST)
    child.stdin.close()
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    child.stdout.close()
    if child.returncode != 0 or len(out) < 4:
        sys.exit(f"{host}: exit status {child.returncode}, {len(out)} bytes of output")
    size = struct.unpack("<I", out[:4])[0]
    answer = json.loads(out[4:4 + size])
    if answer.get("function") != "GetVersion" or answer.get("errorcode") != 0:
        sys.exit(f"{host}: unexpected answer {answer}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_minflt


def loaded_objects(host):
    """The shared objects the dynamic loader mapped in one conversation."""
    with tempfile.TemporaryDirectory() as tmp:
        one_run(host, environment({"LD_DEBUG": "files", "LD_DEBUG_OUTPUT": os.path.join(tmp, "ld")}))
        names = set()
        for name in os.listdir(tmp):
            with open(os.path.join(tmp, name), errors="replace") as f:
                for line in f:
                    # "  12345:     file=libgtk-3.so.0 [0];  needed by ..." or "... [0];  dynamically loaded by ..."
                    part = line.split("file=", 1)
                    if len(part) == 2 and "[" in part[1]:
                        names.add(os.path.basename(part[1].split(" [", 1)[0].strip()))
        return names


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("hosts", nargs="+", metavar="NAME=PATH")
    parser.add_argument("--runs", type=int, default=60)
    parser.add_argument("--warmup", type=int, default=5, help="rounds run first and not counted")
    args = parser.parse_args()
    hosts = []
    for spec in args.hosts:
        name, _, path = spec.partition("=")
        if not path or not os.access(path, os.X_OK):
            sys.exit(f"not a program: {spec}")
        hosts.append((name, os.path.abspath(path)))
    if os.path.exists("/tmp/VarnellHost.ZEPH.conf"):
        print("note: /tmp/VarnellHost.ZEPH.conf exists, so every host also logs", file=sys.stderr)

    env = environment()
    results = {name: [] for name, _ in hosts}
    for round_ in range(args.warmup + args.runs):
        shift = round_ % len(hosts)
        for name, path in hosts[shift:] + hosts[:shift]:
            measured = one_run(path, env)
            if round_ >= args.warmup:
                results[name].append(measured)

    print(f"GetVersion conversation, start to exit: {args.runs} interleaved runs per host "
          f"(after {args.warmup} warm-up rounds), DISPLAY={os.environ.get('DISPLAY', '(unset)')}")
    print(f"{'host':<8} {'median ms':>10} {'p10 ms':>8} {'p90 ms':>8} {'cpu ms':>8} {'faults':>8} {'ratio':>6}"
          f" {'objects':>8}  toolkit objects mapped")
    base = None
    for name, path in hosts:
        walls = [r[0] * 1000 for r in results[name]]
        cpus = [r[1] * 1000 for r in results[name]]
        faults = [r[2] for r in results[name]]
        median = statistics.median(walls)
        base = base or median
        objects = loaded_objects(path)
        toolkit = sorted(o for o in objects if o.startswith(TOOLKIT))
        print(f"{name:<8} {median:>10.2f} {percentile(walls, 0.1):>8.2f} {percentile(walls, 0.9):>8.2f}"
              f" {statistics.median(cpus):>8.2f} {statistics.median(faults):>8.0f} {median / base:>6.2f}"
              f" {len(objects):>8}  {len(toolkit)}{': ' + ' '.join(toolkit[:4]) + ' ...' if toolkit else ''}")


if __name__ == "__main__":
    main()
