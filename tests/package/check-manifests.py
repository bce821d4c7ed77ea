#!/usr/bin/env python3
"""Writes the winget and Scoop manifests for this build's zip (and a
stand-in zip of other content for the other width) with packaging/manifests,
and checks them: valid YAML and JSON naming the version, both commands and
each zip's SHA-256. Then checks that the check fails when a zip no longer
matches its manifests, and that the writer refuses an address that could
break out of its quotes.

Usage: check-manifests.py MANIFESTS BUILD VERSION WIDTH
"""
import os
import shutil
import subprocess
import sys
import tempfile

manifests, build, version, width = sys.argv[1:5]
other = "win32" if width == "win64" else "win64"
failures = []


def run(*args):
    done = subprocess.run([sys.executable, manifests] + list(args), capture_output=True, text=True)
    print("$ manifests %s -> %d\n%s%s" % (" ".join(args), done.returncode, done.stdout, done.stderr), end="")
    return done


with tempfile.TemporaryDirectory() as dist:
    ours = os.path.join(dist, "threadsift-%s-%s.zip" % (version, width))
    theirs = os.path.join(dist, "threadsift-%s-%s.zip" % (version, other))
    shutil.copy(os.path.join(build, os.path.basename(ours)), ours)
    with open(theirs, "wb") as f:
        f.write(b"stand-in for the " + other.encode() + b" package")
    url = "https://example.invalid/threadsift/" + version
    if run("write", "--version", version, "--url", url, dist).returncode != 0:
        failures.append("write failed")
    elif run("check", "--version", version, dist).returncode != 0:
        failures.append("the manifests just written do not pass the check")
    else:
        with open(theirs, "ab") as f:
            f.write(b"!")
        done = run("check", "--version", version, dist)
        if done.returncode == 0 or os.path.basename(theirs) not in done.stderr:
            failures.append("a changed %s zip passes the check" % other)
    done = run("write", "--version", version, "--url", url + '"injected', dist)
    if done.returncode == 0:
        failures.append("an address with a quote was written into the manifests")

for failure in failures:
    print("FAILED: " + failure)
print("1 passed, 0 failed" if not failures else "0 passed, 1 failed")
sys.exit(1 if failures else 0)
