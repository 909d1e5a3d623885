#!/usr/bin/env python3
"""A chaos run of quillora-get: an account of many small pictures copied
through chaos_relay.py at a few per cent of faults, then again through a
clean relay until a run ends well. What must hold:

  - after the faulty run, every picture under its own name is whole (the
    service's bytes), every picture it reported saved is, and every picture
    that is not there is named in its report (failed, or its album failed);
  - after the reruns, the tree is the service's export of the account byte
    for byte (plus each album's description file), nothing else: no part
    or temporary file; and --verify passes.

    chaos_run.py --bin DIR [--count N] [--seeds 1,2] [--rate P] [--jobs J]
                 [--work DIR] [--figures]

Exit status 0 when everything held; the first thing that did not is said on
standard error. --figures prints what the run measured (pictures, faults by
class, reruns, time, peak memory, descriptors and threads).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE = os.path.join(HERE, "..", "..", "tools", "sample-service", "service.py")
RELAY = os.path.join(HERE, "chaos_relay.py")


class Failure(Exception):
    pass


def wait_port(path, process, what):
    end = time.monotonic() + 60
    while time.monotonic() < end:
        if os.path.exists(path):
            return int(open(path).read())
        if process.poll() is not None:
            raise Failure("%s ended before it listened" % what)
        time.sleep(0.02)
    raise Failure("%s did not listen within a minute" % what)


def start(argv, port_file, what, env=None):
    process = subprocess.Popen(argv + ["--port-file", port_file, "--lifetime", "7200"], env=env,
                               stdout=subprocess.DEVNULL)
    return process, wait_port(port_file, process, what)


def stop(process):
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def expected_tree(account, export_dir):
    """{path under the destination: path of the service's bytes}, from the
    service's own account table and export."""
    sys.path.insert(0, os.path.dirname(SERVICE))
    import service
    sys.path.pop(0)
    albums = service.ACCOUNTS[account]
    prefix = "%s-" % account
    service.PICTURES = {route: name for route, name in service.PICTURES.items() if "/" + prefix in "/" + route}
    service.HOME = {path: page for path, page in service.HOME.items() if "/%s/" % account in path}
    service.export(export_dir)
    tree = {}
    for i, album in enumerate(albums):
        folder = "Pic/" + album.name.strip()
        tree[folder + "/" + album.name.strip() + ".txt"] = None  # its description
        for k, name in enumerate(album.pictures):
            head, rest = service.picture_path(account, i, k, name).split("/", 1)
            host = service.PICTURE_PREFIX + head + service.PICTURE_SUFFIX
            tree[folder + "/" + rest.rsplit("/", 1)[1]] = os.path.join(export_dir, host, rest)
    return tree


def same_bytes(a, b):
    with open(a, "rb") as f, open(b, "rb") as g:
        return f.read() == g.read()


def files_under(folder):
    found = set()
    for root, _, names in os.walk(folder):
        for name in names:
            found.add(os.path.relpath(os.path.join(root, name), folder))
    return found


class Watched:
    """A quillora-get run, its peak descriptors and threads sampled as it goes."""

    def __init__(self, argv, cwd):
        self.fds = self.threads = 0
        start_time = time.monotonic()
        with open(os.path.join(cwd, "stderr.txt"), "ab") as err:
            self.process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=err)
            sampler = threading.Thread(target=self.sample, daemon=True)
            sampler.start()
            _, status, usage = os.wait4(self.process.pid, 0)
            self.process.returncode = os.waitstatus_to_exitcode(status)
            sampler.join()
        self.status = self.process.returncode
        self.seconds = time.monotonic() - start_time
        self.peak_kb = usage.ru_maxrss

    def sample(self):
        pid = self.process.pid
        while self.process.returncode is None:
            try:
                self.fds = max(self.fds, len(os.listdir("/proc/%d/fd" % pid)))
                with open("/proc/%d/status" % pid) as f:
                    for line in f:
                        if line.startswith("Threads:"):
                            self.threads = max(self.threads, int(line.split()[1]))
            except OSError:
                pass
            time.sleep(0.05)


def get(args, work, proxy, extra):
    argv = [os.path.join(args.bin, "quillora-get"), "--proxy", proxy, "-j", str(args.jobs), "--archive",
            os.path.join(work, "archive.sqlite"), "--dest", "out", "--json", "report.json", "-q"] + extra
    return Watched(argv, work)


def under_out(work, path):
    """A path of the report, relative to the destination."""
    return os.path.relpath(os.path.join(work, path), os.path.join(work, "out"))


def check_first_run(work, tree, report):
    """Whatever is under its name is whole; whatever is not is named."""
    named = set()
    if any("error" in account for account in report["accounts"]):
        named.update(tree)  # the account could not be looked up: it is named, and all it holds
    for album in report["albums"]:
        folder = under_out(work, album["folder"])
        for picture in album["pictures"]:
            path = under_out(work, picture["path"])
            if picture["outcome"] in ("saved", "skipped"):
                if not os.path.exists(os.path.join(work, "out", path)) or tree.get(path) is None or \
                        not same_bytes(os.path.join(work, "out", path), tree[path]):
                    raise Failure("%s was reported %s but is not the service's picture" % (path,
                                                                                          picture["outcome"]))
            else:
                named.add(path)
        if "error" in album:
            named.update(p for p in tree if p.startswith(folder + "/"))
    missing = 0
    for path, source in tree.items():
        here = os.path.join(work, "out", path)
        if source is None:
            continue
        if os.path.exists(here):
            if not same_bytes(here, source):
                raise Failure("%s is under its name but is not the service's picture" % path)
        else:
            missing += 1
            if path not in named:
                raise Failure("%s is missing after the faulty run, and its report does not name it" % path)
    return missing


def check_final(work, tree):
    found = files_under(os.path.join(work, "out"))
    extra = sorted(found - set(tree))
    if extra:
        raise Failure("left behind under the destination: %s" % ", ".join(extra[:5]))
    lacking = sorted(set(tree) - found)
    if lacking:
        raise Failure("missing after the reruns: %s" % ", ".join(lacking[:5]))
    for path, source in tree.items():
        if source is not None and not same_bytes(os.path.join(work, "out", path), source):
            raise Failure("%s differs from the service's export" % path)


def run_seed(args, seed, service_port, tree, work):
    figures = {"seed": seed}
    stats_file = os.path.join(work, "faults.json")
    relay, relay_port = start([sys.executable, RELAY, "--upstream", str(service_port), "--seed", seed, "--rate",
                               str(args.rate), "--stall-seconds", str(args.timeout + 2), "--stats-file", stats_file,
                               "--fault-log",
                               os.path.join(work, "faults.log")] + (["--faults", args.faults] if args.faults else []),
                              os.path.join(work, "relay.port"), "the relay")
    try:
        first = get(args, work, "127.0.0.1:%d" % relay_port,
                    args.get_options + ["--retries", str(args.first_retries), args.account])
    finally:
        stop(relay)
    figures["faults"] = json.load(open(stats_file))
    figures["first"] = {"status": first.status, "seconds": round(first.seconds, 1), "peak_kb": first.peak_kb,
                        "fds": first.fds, "threads": first.threads}
    os.replace(os.path.join(work, "report.json"), os.path.join(work, "first-report.json"))
    report = json.load(open(os.path.join(work, "first-report.json")))
    figures["first"]["missing"] = check_first_run(work, tree, report)
    figures["first"]["totals"] = {k: report["totals"][k] for k in ("saved", "failed", "albums_failed")}
    if args.harmless and first.status != 0:
        raise Failure("the faulty run failed (status %d) on faults that cost nothing: %s" % (
            first.status, open(os.path.join(work, "stderr.txt"), errors="replace").read()[-2000:]))
    clean, clean_port = start([sys.executable, RELAY, "--upstream", str(service_port), "--rate", "0"],
                              os.path.join(work, "clean.port"), "the clean relay")
    try:
        # Always at least one: a rerun over a whole tree must leave it as it is.
        figures["reruns"] = 0
        status = None
        while status != 0:
            if figures["reruns"] == args.max_reruns:
                raise Failure("still failing after %d clean reruns (status %s)" % (args.max_reruns, status))
            figures["reruns"] += 1
            rerun = get(args, work, "127.0.0.1:%d" % clean_port, args.get_options + [args.account])
            status = rerun.status
        check_final(work, tree)
        verify = get(args, work, "127.0.0.1:%d" % clean_port, ["--verify"])
        if verify.status != 0:
            raise Failure("--verify failed (status %d)" % verify.status)
    finally:
        stop(clean)
    return figures


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", required=True, help="the folder of quillora-get")
    ap.add_argument("--count", type=int, default=300, help="pictures in the account (default 300)")
    ap.add_argument("--seeds", default="1", help="one run a seed, comma-separated (default 1)")
    ap.add_argument("--rate", type=float, default=0.05, help="faults a reply (default 0.05)")
    ap.add_argument("--jobs", type=int, default=8)
    ap.add_argument("--first-retries", type=int, default=3,
                    help="--retries of the faulty run (default 3; 0 leaves more for the reruns)")
    ap.add_argument("--max-reruns", type=int, default=3)
    ap.add_argument("--timeout", type=int, default=2,
                    help="quillora-get's --timeout, the stall limit (default 2; the relay's stalls outlast it "
                    "by 2 s); a busy machine may hold a healthy reply up for most of a second")
    ap.add_argument("--work", help="keep everything in this folder (default: a temporary one, removed)")
    ap.add_argument("--figures", action="store_true", help="print the figures of each run")
    ap.add_argument("--faults", help="the relay's fault classes (default: all)")
    ap.add_argument("--harmless", action="store_true",
                    help="the faults only slow replies down or close idle connections: the faulty run "
                    "itself must end well, even without retries")
    ap.add_argument("--export-only", metavar="DIR",
                    help="only export the account into DIR, with DIR/tree.tsv: each path under the "
                    "destination, a tab and the file of its bytes (nothing for a description)")
    args = ap.parse_args()
    args.bin = os.path.abspath(args.bin)
    args.account = "chaos%d" % args.count
    args.get_options = ["--backoff", "100", "--timeout", str(args.timeout)]
    os.environ["QUILLORA_SAMPLE_CHAOS"] = str(args.count)
    os.environ.pop("http_proxy", None)
    os.environ.pop("HTTP_PROXY", None)
    if args.export_only:
        tree = expected_tree(args.account, args.export_only)
        with open(os.path.join(args.export_only, "tree.tsv"), "w", encoding="utf-8") as f:
            for path, source in sorted(tree.items()):
                f.write("%s\t%s\n" % (path, source or ""))
        return 0
    top = args.work or tempfile.mkdtemp(prefix="quillora-chaos-")
    os.makedirs(top, exist_ok=True)
    service = None
    try:
        tree = expected_tree(args.account, os.path.join(top, "export"))
        service, service_port = start([sys.executable, SERVICE], os.path.join(top, "service.port"), "the service")
        for seed in args.seeds.split(","):
            work = os.path.join(top, "seed-" + seed)
            shutil.rmtree(work, ignore_errors=True)
            os.makedirs(work)
            figures = run_seed(args, seed, service_port, tree, work)
            figures["pictures"] = sum(1 for v in tree.values() if v is not None)
            if args.figures:
                print(json.dumps(figures, indent=1, sort_keys=True), flush=True)
            else:
                print("seed %s: %d pictures, %d faults, %d missing after the faulty run, %d reruns" % (
                    seed, figures["pictures"], figures["faults"]["total"], figures["first"]["missing"],
                    figures["reruns"]), flush=True)
    except Failure as e:
        print("chaos run (%s): %s" % (args.account, e), file=sys.stderr)
        return 1
    finally:
        stop(service)
        if not args.work:
            shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
