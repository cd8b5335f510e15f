#!/usr/bin/env python3
"""Runs the Windows serial tests with COM3 mapped to a pseudo-terminal.

Links $WINEPREFIX/dosdevices/com3 to the slave side of a new pseudo-terminal,
runs the test program under Wine and checks the bytes that arrive on the
master side. usage: serial_pty.py WINE PROGRAM.exe
"""
import os
import select
import subprocess
import sys
import tty

wine, program = sys.argv[1], sys.argv[2]
prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
master, slave = os.openpty()
tty.setraw(master)
link = os.path.join(prefix, "dosdevices", "com3")
if os.path.lexists(link):
    os.remove(link)
os.symlink(os.ttyname(slave), link)
env = dict(os.environ, LINALG_TEST_COM3_PTY="1", WINEDEBUG="-all")
try:
    proc = subprocess.Popen([wine, program, "--gtest_filter=Serial.*"], env=env)
    got = b""
    while True:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            got += os.read(master, 256)
        elif proc.poll() is not None:
            break
finally:
    os.remove(link)
want = b"AB\r" + bytes([50])
print("bytes on the pseudo-terminal:", got)
if proc.returncode != 0:
    sys.exit(proc.returncode)
if got != want:
    print("expected", want)
    sys.exit(1)
