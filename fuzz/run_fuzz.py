#!/usr/bin/python3
"""Runs libFuzzer targets side by side and tells, per target, how many inputs
it ran and what it found.

    run_fuzz.py --build DIR [--jobs N] [--runs N] NAME:SECONDS ...

A target stops after SECONDS or, with --runs, after that many inputs,
whichever comes first.

    run_fuzz.py --build DIR --minimise NAME ...

folds each target's working corpus into its kept corpus in the source tree:
the smallest set of inputs (libFuzzer's set-cover merge) that reaches what the
two reached together replaces the kept one.

Each target NAME is DIR/bin/fuzz_NAME. It starts from DIR/corpus-NAME (its
seeds are written there by fuzz_NAME_smoke --seeds when that program is
there) and reads the kept corpus fuzz/*/corpus/NAME/ of the source tree.
Findings (crash-, leak-, timeout-, oom- files) land in DIR/findings/NAME/,
the target's output in DIR/fuzz-logs/NAME.log. The exit status is 1 when a
target found something or could not run, else 0.
"""
import argparse
import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# UBSan reports and goes on unless told to stop: undefined behaviour must end
# the input as a finding, the way a crash does, or a run that met it ends
# "Done" with nothing found.
SANITIZERS = dict(os.environ, UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
FINDING = re.compile(r"^(crash|leak|timeout|oom|slow-unit)-")
EXECUTED = re.compile(r"stat::number_of_executed_units:\s*(\d+)")


def prepare(build, name):
    corpus = os.path.join(build, "corpus-" + name)
    findings = os.path.join(build, "findings", name)
    os.makedirs(corpus, exist_ok=True)
    os.makedirs(findings, exist_ok=True)
    for old in os.listdir(findings):
        os.remove(os.path.join(findings, old))
    smoke = os.path.join(build, "bin", "fuzz_%s_smoke" % name)
    if os.access(smoke, os.X_OK):
        subprocess.run([smoke, "--seeds", corpus], check=False, stdout=subprocess.DEVNULL)
    kept = sorted(glob.glob(os.path.join(SOURCE, "fuzz", "*", "corpus", name)))
    return corpus, findings, kept


def run(build, name, seconds, runs_cap=0):
    program = os.path.join(build, "bin", "fuzz_" + name)
    if not os.access(program, os.X_OK):
        return dict(name=name, seconds=seconds, runs=0, findings=0, status="not built")
    corpus, findings, kept = prepare(build, name)
    logs = os.path.join(build, "fuzz-logs")
    os.makedirs(logs, exist_ok=True)
    log = os.path.join(logs, name + ".log")
    cmd = [program, "-max_total_time=%d" % seconds, "-max_len=65536", "-rss_limit_mb=2560", "-timeout=60",
           "-print_final_stats=1", "-artifact_prefix=" + findings + "/"]
    if runs_cap:
        cmd.append("-runs=%d" % runs_cap)
    cmd += [corpus] + kept
    start = time.monotonic()
    with open(log, "w") as out:
        rc = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, check=False, env=SANITIZERS).returncode
    took = time.monotonic() - start
    with open(log, errors="replace") as f:
        runs = sum(int(m.group(1)) for m in EXECUTED.finditer(f.read()))
    found = sorted(f for f in os.listdir(findings) if FINDING.match(f))
    status = "ok" if rc == 0 and not found else ("found" if found else "exit %d" % rc)
    return dict(name=name, seconds=took, runs=runs, findings=len(found), status=status, files=found, log=log)


def minimise(build, name):
    program = os.path.join(build, "bin", "fuzz_" + name)
    kept = sorted(glob.glob(os.path.join(SOURCE, "fuzz", "*", "corpus", name)))
    if not os.access(program, os.X_OK):
        print("%-16s not built" % name)
        return 1
    if len(kept) != 1:
        print("%-16s has no kept corpus (its seeds are generated)" % name)
        return 0
    merged = os.path.join(build, "merged-" + name)
    shutil.rmtree(merged, ignore_errors=True)
    os.makedirs(merged)
    working = os.path.join(build, "corpus-" + name)
    cmd = [program, "-set_cover_merge=1", "-max_len=65536", "-rss_limit_mb=2560", "-timeout=60", merged, kept[0]]
    if os.path.isdir(working):
        cmd.append(working)
    with open(os.path.join(build, "fuzz-logs", name + ".merge.log"), "w") as out:
        rc = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, check=False, env=SANITIZERS).returncode
    files = os.listdir(merged)
    if rc != 0 or not files:
        print("%-16s merge failed (exit %d)" % (name, rc))
        return 1
    before = len(os.listdir(kept[0]))
    shutil.rmtree(kept[0])
    shutil.copytree(merged, kept[0])
    size = sum(os.path.getsize(os.path.join(merged, f)) for f in files)
    print("%-16s kept corpus: %d -> %d inputs, %d bytes" % (name, before, len(files), size))
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--runs", type=int, default=0, help="stop a target after this many inputs")
    ap.add_argument("--minimise", action="store_true", help="fold the working corpora into the kept ones")
    ap.add_argument("targets", nargs="+", metavar="NAME:SECONDS")
    args = ap.parse_args()
    if args.minimise:
        os.makedirs(os.path.join(args.build, "fuzz-logs"), exist_ok=True)
        return 1 if sum(minimise(args.build, t.partition(":")[0]) for t in args.targets) else 0
    todo = []
    for t in args.targets:
        name, _, secs = t.partition(":")
        todo.append((name, int(secs or 10)))
    print("fuzzing %d targets, %d at a time ..." % (len(todo), max(1, args.jobs)), flush=True)
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        results = list(pool.map(lambda t: run(args.build, *t, args.runs), todo))
    print("\n%-16s %8s %14s %10s %9s  %s" % ("target", "seconds", "executions", "exec/s", "findings", "status"))
    for r in results:
        rate = r["runs"] / r["seconds"] if r["seconds"] else 0
        print("%-16s %8.0f %14d %10.0f %9d  %s" % (r["name"], r["seconds"], r["runs"], rate, r["findings"],
                                                 r["status"]))
    bad = [r for r in results if r["status"] != "ok"]
    for r in bad:
        for f in r.get("files", []):
            print("finding: %s" % os.path.join(args.build, "findings", r["name"], f))
        if r.get("log"):
            print("output of %s: %s" % (r["name"], r["log"]))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
