# SPDX-License-Identifier: MIT
"""exitwatch: gives a process 10 seconds to end, then ends it; logs every step.

The wheel installs the program itself as a script, on PATH once installed; start()
starts it as doc/starting.md's Python start does, and program() says where it is.
"""
import csv
import glob
import os
import subprocess
import sys

__all__ = ["program", "start"]

_NAMES = ("exitwatch", "exitwatch.exe")


def program():
    """The path of the exitwatch program that this package's wheel installed."""
    site = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    # The wheel's record of what it installed, which names the script wherever the
    # installer put it (a virtual environment's bin, ~/.local/bin, Scripts).
    for record in glob.glob(os.path.join(site, "exitwatch-*.dist-info", "RECORD")):
        with open(record, newline="") as rows:
            for row in csv.reader(rows):
                if row and os.path.basename(row[0]) in _NAMES:
                    return os.path.normpath(os.path.join(site, row[0]))
    raise FileNotFoundError("the exitwatch program of this package is not installed")


def start(pid, folder):
    """Starts exitwatch on process pid, its log in folder, without waiting for it."""
    start_in = dict(cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
    command = [program(), str(pid)]
    if sys.platform != "win32":
        return subprocess.Popen(command, start_new_session=True, **start_in)
    flags = subprocess.DETACHED_PROCESS | subprocess.CREATE_NEW_PROCESS_GROUP
    try:
        return subprocess.Popen(
            command, creationflags=flags | subprocess.CREATE_BREAKAWAY_FROM_JOB, **start_in)
    except PermissionError:  # a job that allows no breakaway
        return subprocess.Popen(command, creationflags=flags, **start_in)
