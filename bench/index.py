#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""The journal index as a Python user would write it: os.scandir, readline."""
import os
import re
import sys

ENTRY = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}.*\.gmi$")

for entry in os.scandir(sys.argv[1]):
    if not ENTRY.match(entry.name):
        continue
    with open(entry.path, encoding="utf-8", errors="replace") as f:
        line = f.readline()
    if line.startswith("#"):
        print(f"=>{entry.name} {entry.name[:10]}  {line[1:].rstrip()}")
    else:
        print(f"Could not process file {entry.name}", file=sys.stderr)
