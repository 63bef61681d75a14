#!/usr/bin/python3
# Copyright: the vexor developers
"""Runs a command and appends one line to LOG: HOST, start and end (wall
clock, seconds), and the CPU seconds of the command with everything it
waited for, then its own CPU seconds. For bench/fleet.sh, as the front of
each simulated host's command prefix.

    fleet_timer.py LOG HOST COMMAND...
"""
import os
import resource
import subprocess
import sys
import time


def main(log, host, command):
    start = time.time()
    status = subprocess.call(command)
    end = time.time()
    child = resource.getrusage(resource.RUSAGE_CHILDREN)
    own = resource.getrusage(resource.RUSAGE_SELF)
    line = '%s %.6f %.6f %.6f %.6f\n' % (host, start, end, child.ru_utime + child.ru_stime,
                                         own.ru_utime + own.ru_stime)
    # One write of one short line to a file opened for appending: lines of
    # concurrent hosts do not interleave.
    fd = os.open(log, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line.encode())
    finally:
        os.close(fd)
    return status


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
