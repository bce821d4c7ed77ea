#!/usr/bin/env python3
"""Checks the two zips of a width that cpack made in BUILD:
threadsift-V-W.zip holds exactly the stripped executables, README.md,
LICENSE and the manuals (the text files equal to the sources); each
executable has no debug sections and a debug link that names its file in
threadsift-V-W-debug.zip with that file's CRC-32; the debug zip holds
exactly those files, each with its debug information. The tools zip is
left unpacked in UNPACKED for the import checks.

Usage: check-contents.py SOURCE BUILD VERSION WIDTH OBJDUMP OBJCOPY UNPACKED
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

source, build, version, width, objdump, objcopy, unpacked = sys.argv[1:8]
TOOLS = ["threadsift.exe", "latchsift.exe"]
TEXTS = {"README.md": "README.md", "LICENSE": "LICENSE",
         "docs/threadsift.md": "docs/threadsift.md", "docs/latchsift.md": "docs/latchsift.md"}
failures = []


def fail(text):
    failures.append(text)
    print(text)


def files_of(archive):
    return sorted(n for n in archive.namelist() if not n.endswith("/"))


def sections(path):
    out = subprocess.run([objdump, "-h", path], check=True, capture_output=True, text=True).stdout
    return [line.split()[1] for line in out.splitlines() if line.strip()[:1].isdigit() and len(line.split()) > 1]


def debug_link(path):
    """The file name and CRC-32 of the .gnu_debuglink section, or None."""
    with tempfile.TemporaryDirectory() as scratch:
        dumped = os.path.join(scratch, "link")
        done = subprocess.run([objcopy, "--dump-section", ".gnu_debuglink=" + dumped, path, os.path.join(scratch, "copy")],
                              capture_output=True)
        # objcopy warns, but succeeds, when there is no such section.
        if done.returncode != 0 or not os.path.isfile(dumped):
            return None
        with open(dumped, "rb") as f:
            data = f.read()
    name, _, _ = data.partition(b"\0")
    offset = (len(name) + 1 + 3) & ~3
    if len(data) < offset + 4:
        return None
    return name.decode("utf-8", "replace"), struct.unpack_from("<I", data, offset)[0]


tools_zip = os.path.join(build, "threadsift-%s-%s.zip" % (version, width))
debug_zip = os.path.join(build, "threadsift-%s-%s-debug.zip" % (version, width))
with zipfile.ZipFile(tools_zip) as tools, zipfile.ZipFile(debug_zip) as debug:
    expected = sorted(TOOLS + list(TEXTS))
    if files_of(tools) != expected:
        fail("%s holds %s, expected %s" % (os.path.basename(tools_zip), files_of(tools), expected))
    expected_debug = sorted(t + ".debug" for t in TOOLS)
    if files_of(debug) != expected_debug:
        fail("%s holds %s, expected %s" % (os.path.basename(debug_zip), files_of(debug), expected_debug))

    shutil.rmtree(unpacked, ignore_errors=True)
    os.makedirs(unpacked)
    tools.extractall(unpacked)
    debug_folder = os.path.join(unpacked, "..", os.path.basename(unpacked) + "-debug")
    shutil.rmtree(debug_folder, ignore_errors=True)
    os.makedirs(debug_folder)
    debug.extractall(debug_folder)

for name, original in TEXTS.items():
    with open(os.path.join(source, original), "rb") as a, open(os.path.join(unpacked, name), "rb") as b:
        if a.read() != b.read():
            fail("%s differs from the source's %s" % (name, original))

for tool in TOOLS:
    exe = os.path.join(unpacked, tool)
    if not os.path.isfile(exe):
        continue
    with open(exe, "rb") as f:
        if f.read(2) != b"MZ":
            fail("%s is no Windows program" % tool)
    left = [s for s in sections(exe) if s.startswith(".debug")]
    if left:
        fail("%s is not stripped: it has %s" % (tool, " ".join(left)))
    link = debug_link(exe)
    debug_file = os.path.join(debug_folder, tool + ".debug")
    if link is None:
        fail("%s has no debug link" % tool)
    elif link[0] != tool + ".debug":
        fail("%s links to %s, expected %s.debug" % (tool, link[0], tool))
    elif os.path.isfile(debug_file):
        with open(debug_file, "rb") as f:
            crc = zlib.crc32(f.read())
        if crc != link[1]:
            fail("%s's debug link has CRC %08x, its debug file %08x" % (tool, link[1], crc))
    if os.path.isfile(debug_file) and ".debug_info" not in sections(debug_file):
        fail("%s.debug has no .debug_info" % tool)
    print("%s: %d bytes, its debug file %d bytes" %
          (tool, os.path.getsize(exe), os.path.getsize(debug_file) if os.path.isfile(debug_file) else 0))

print("1 passed, 0 failed" if not failures else "0 passed, 1 failed")
sys.exit(1 if failures else 0)
