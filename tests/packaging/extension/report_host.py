#!/usr/bin/env python3
"""The test's own native messaging host: takes the extension's one report and
writes it, with the arguments the browser started it with, to the file named
by QUORVIA_REPORT, which the browser passes on from the test."""
import json
import os
import struct
import sys

length = struct.unpack("<I", sys.stdin.buffer.read(4))[0]
report = {"arguments": sys.argv[1:], "report": json.loads(sys.stdin.buffer.read(length))}
with open(os.environ["QUORVIA_REPORT"] + ".part", "w") as f:
    json.dump(report, f)
os.rename(os.environ["QUORVIA_REPORT"] + ".part", os.environ["QUORVIA_REPORT"])
sys.stdout.buffer.write(struct.pack("<I", 2) + b"{}")
