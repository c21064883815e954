#!/usr/bin/env python3
"""Measures how many small faults the unit tests catch.

Draws a reproducible sample of one-line mutations of src/rtp, src/rtcp, src/audio and
src/codecs, applies each on its own to the source tree the build directory was configured
from, rebuilds that subsystem's test program, runs it with a time limit, and puts the file
back. A mutant is caught when the program fails or runs out of time, survives when it passes,
and is left out of the score when it does not compile.

    scripts/mutants.sh BUILD_DIR [--count N] [--seed S] [--subsystems rtp,rtcp,...] [--matrix FILE]
                       [--sanitizer-build DIR]

With --sanitizer-build, a mutant the plain build's tests miss is built and run once more in
DIR (an AddressSanitizer build of the same sources, as the CI runs): a read or write past an
array that the plain build cannot see is caught there.

With --matrix, each mutant's run records which tests failed, and FILE receives a JSON list of
the mutants with their catching tests, followed by a table of every test with the mutants only
it caught: a test that catches nothing alone over a large sample adds no detection of its own.

The source files are restored after each mutant and when the run is interrupted; run it on
a tree nobody edits meanwhile (a worktree of its own for long runs).
"""
import argparse
import collections
import json
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import time

SUBSYSTEMS = {"rtp": "rtp_tests", "rtcp": "rtcp_tests", "audio": "audio_tests", "codecs": "codecs_tests"}

# Kinds of mutation. Comparisons and logic are matched only with spaces around them, as the
# code is formatted, so that template brackets, arrows and shifts are never touched.
FLIPS = {" == ": " != ", " != ": " == ", " < ": " >= ", " >= ": " < ", " > ": " <= ", " <= ": " > ",
         " && ": " || ", " || ": " && "}
BOUNDS = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > ", " + 1": " + 2", " - 1": " - 0"}
STATEMENT = re.compile(r"^\s*(?!return\b|break\b|continue\b|case\b|default\b|goto\b|else\b|const\b|auto\b|static\b|"
                       r"using\b|struct\b|class\b|enum\b|typedef\b|template\b|namespace\b)"
                       r"[A-Za-z_][\w:.\->\[\]]*\s*(\(.*\)|(\+|-|\*|/|\||&|\^|<<|>>)?=\s.*|\+\+|--);\s*$")
DECLARATION = re.compile(r"^\s*(?:[\w:<>,]+[\s*&]+)+\w+\s*(=|\{|\()")
CALL_TWO_ARGS = re.compile(r"\b(\w+)\(([A-Za-z_][\w.\->\[\]]*), ([A-Za-z_][\w.\->\[\]]*)\)")
SKIP_LINE = re.compile(r"^\s*(#|//|\*|/\*)|static_assert|DebugPrintf|\bassert\(")


def candidates(path, root):
    """Every mutation of one file: (relative path, line number, kind, old line, new line)."""
    out = []
    rel = str(path.relative_to(root))
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        code = line.split("//")[0]
        if SKIP_LINE.search(line) or '"' in code:
            continue
        for kind, table in (("flip", FLIPS), ("bound", BOUNDS)):
            for old, new in table.items():
                start = code.find(old)
                while start >= 0:
                    out.append((rel, number, kind, line, line[:start] + new + line[start + len(old):]))
                    start = code.find(old, start + 1)
        if STATEMENT.match(code) and not DECLARATION.match(code):
            indent = line[: len(line) - len(line.lstrip())]
            out.append((rel, number, "drop", line, indent + ";  // dropped"))
        for match in CALL_TWO_ARGS.finditer(code):
            a, b = match.group(2), match.group(3)
            if a != b:
                swapped = code[: match.start(2)] + b + ", " + a + code[match.end(3):]
                out.append((rel, number, "swap", line, swapped + line[len(code):]))
    return out


def source_root(build):
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith("CMAKE_HOME_DIRECTORY:"):
            return pathlib.Path(line.split("=", 1)[1])
    sys.exit("mutants: %s is not a configured build directory" % build)


def run(command, cwd, timeout=None):
    """(exit status or None on time-out, seconds); the whole process group ends on time-out."""
    start = time.monotonic()
    proc = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        status = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        status = None
    return status, time.monotonic() - start


def all_tests(report):
    """Every test a gtest JSON report names."""
    data = json.loads(report.read_text())
    return ["%s.%s" % (suite["name"], case["name"]) for suite in data.get("testsuites", [])
            for case in suite.get("testsuite", [])]


def write_matrix(path, matrix, every_test):
    """The mutants with their catching tests, and each test's count of mutants only it caught."""
    alone = collections.Counter()
    total = collections.Counter({t: 0 for t in every_test})
    for entry in matrix:
        for test in entry["tests"]:
            total[test] += 1
        if len(entry["tests"]) == 1:
            alone[entry["tests"][0]] += 1
    tests = [{"test": t, "caught": total[t], "caught alone": alone[t]} for t in sorted(total)]
    path.write_text(json.dumps({"mutants": matrix, "tests": tests}, indent=1) + "\n")
    print("matrix: %s (%d tests, %d caught something, %d something no other test caught)"
          % (path, len(total), sum(1 for t in total if total[t]), len(alone)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--subsystems", default=",".join(SUBSYSTEMS))
    parser.add_argument("--jobs", default=str(os.cpu_count() or 2))
    parser.add_argument("--matrix", help="write which tests caught each mutant to this JSON file")
    parser.add_argument("--sanitizer-build", help="a sanitizer build of the same sources that re-runs the survivors")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    root = source_root(build)
    chosen = [s for s in args.subsystems.split(",") if s]
    for name in chosen:
        if name not in SUBSYSTEMS:
            sys.exit("mutants: unknown subsystem %s (known: %s)" % (name, ", ".join(SUBSYSTEMS)))

    # The same seed draws the same mutants from the same sources: an even share per subsystem.
    rng = random.Random(args.seed)
    sample = []
    for index, name in enumerate(chosen):
        files = sorted(p for p in (root / "src" / name).glob("**/*.cpp")
                       if "win32" not in p.parts and "linux" not in p.parts)
        pool = [c for f in files for c in candidates(f, root)]
        share = args.count // len(chosen) + (1 if index < args.count % len(chosen) else 0)
        sample += [(name, c) for c in rng.sample(pool, min(share, len(pool)))]

    def build_target(target, where=build):
        return run(["cmake", "--build", str(where), "--target", target, "-j", args.jobs], root)[0] == 0

    # Baselines: each program must pass unmutated; its time sets the mutants' limit.
    def baselines(where):
        limits = {}
        for name in chosen:
            target = SUBSYSTEMS[name]
            if not build_target(target, where):
                sys.exit("mutants: %s does not build unmutated in %s" % (target, where))
            status, seconds = run([str(where / "tests" / name / target),
                                   "--gtest_output=json:%s" % (where / ("mutant-baseline-%s.json" % name))], root)
            if status != 0:
                sys.exit("mutants: %s fails unmutated in %s" % (target, where))
            limits[name] = max(20.0, 3 * seconds)
            print("baseline %-13s %5.1f s, limit %5.1f s (%s)" % (target, seconds, limits[name], where.name),
                  flush=True)
        return limits

    limits = baselines(build)
    sanitized = pathlib.Path(args.sanitizer_build).resolve() if args.sanitizer_build else None
    if sanitized and source_root(sanitized) != root:
        sys.exit("mutants: %s is not configured from %s" % (sanitized, root))
    sanitized_limits = baselines(sanitized) if sanitized else {}

    caught, survived, broken, by_sanitizer = 0, [], 0, 0
    matrix = []
    report = build / "mutant-tests.json"

    def failed_tests():
        """Names of the tests that failed in the last run, from gtest's JSON report."""
        try:
            data = json.loads(report.read_text())
        except (OSError, ValueError):
            return []
        return ["%s.%s" % (suite["name"], case["name"]) for suite in data.get("testsuites", [])
                for case in suite.get("testsuite", []) if case.get("failures")]
    started = time.monotonic()
    current = {}

    def restore(*_):
        for path, text in current.items():
            path.write_text(text)
        current.clear()

    def attempt(name, mutation, where, limit, command_extra=()):
        """Applies one mutation, builds and runs the subsystem's program in `where`, restores the
        source: (whether it built, the program's exit status or None on time-out)."""
        rel, line_no, _, _, new = mutation
        path = root / rel
        text = path.read_text()
        current[path] = text
        lines = text.split("\n")
        lines[line_no - 1] = new
        path.write_text("\n".join(lines))
        try:
            target = SUBSYSTEMS[name]
            if not build_target(target, where):
                return False, None
            status, _ = run([str(where / "tests" / name / target), *command_extra], root, timeout=limit)
            return True, status
        finally:
            restore()

    signal.signal(signal.SIGINT, lambda *a: (restore(), sys.exit(130)))
    signal.signal(signal.SIGTERM, lambda *a: (restore(), sys.exit(143)))
    try:
        for number, (name, mutation) in enumerate(sample, start=1):
            rel, line_no, kind, old, new = mutation
            extra = ()
            if args.matrix:
                report.unlink(missing_ok=True)
                extra = ("--gtest_output=json:%s" % report,)
            built, status = attempt(name, mutation, build, limits[name], extra)
            if built and status == 0 and sanitized:
                # The CI runs the unit tests under the sanitizers too: a fault the plain build
                # cannot see (a read past an array) is caught there.
                again, sanitized_status = attempt(name, mutation, sanitized, sanitized_limits[name])
                if again and sanitized_status != 0:
                    status = "sanitizer"
            if not built:
                verdict = "no build"
                broken += 1
            elif status == 0:
                verdict = "SURVIVED"
                survived.append("%s:%d %s: %s  ->  %s" % (rel, line_no, kind, old.strip(), new.strip()))
            else:
                verdict = {None: "caught (time-out)", "sanitizer": "caught (sanitizer)"}.get(status, "caught")
                caught += 1
                by_sanitizer += status == "sanitizer"
            if args.matrix and verdict != "no build":
                matrix.append({"mutant": "%s:%d %s" % (rel, line_no, kind), "subsystem": name,
                               "verdict": verdict, "tests": failed_tests() if verdict.startswith("caught") else []})
            print("[%3d/%d] %-18s %s:%d %s" % (number, len(sample), verdict, rel, line_no, kind), flush=True)
    finally:
        restore()
        # The tree is as it was; rebuild so the build directories match it again.
        for name in chosen:
            build_target(SUBSYSTEMS[name])
            if sanitized:
                build_target(SUBSYSTEMS[name], sanitized)

    if args.matrix:
        every_test = [t for name in chosen for t in all_tests(build / ("mutant-baseline-%s.json" % name))]
        write_matrix(pathlib.Path(args.matrix), matrix, every_test)
    scored = caught + len(survived)
    print("\nmutants: %d drawn (seed %d), %d did not compile, %d scored" % (len(sample), args.seed, broken, scored))
    if scored:
        print("caught: %d of %d = %.0f %%%s" % (caught, scored, 100.0 * caught / scored,
                                              " (%d only by the sanitizer build)" % by_sanitizer if sanitized else ""))
    print("time: %.0f s" % (time.monotonic() - started))
    if survived:
        print("survivors:")
        for entry in survived:
            print("  " + entry)


if __name__ == "__main__":
    main()
