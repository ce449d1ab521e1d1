#!/usr/bin/env python3
"""The Linux library driven as tests/wine_e2e/sim_program.cpp drives the DLL, for the lines to
compare: `open` calls openConn alone (then closeConn when it opened) and prints "e2e: openConn N";
`session` makes the end-to-end session's calls. The library's own lines go to the same stdout."""
import ctypes
import sys


def main():
    mode, path = sys.argv[1], sys.argv[2]
    lib = ctypes.CDLL(path)
    libc = ctypes.CDLL(None)

    def flush():
        libc.fflush(None)
        sys.stdout.flush()

    handle = lib.Java_JavaToC_openConn(None, None)
    flush()
    if mode == "open":
        print(f"e2e: openConn {handle}", flush=True)
        if handle != 255:
            lib.Java_JavaToC_closeConn(None, None)
    elif handle != 255:
        lib.Java_JavaToC_initTimer(None, None)
        for x, y, z in ((40, -25, 10), (-15, 30, -4), (0, 0, 32000), (12, 7, 32222)):
            lib.Java_JavaToC_vectorOut(None, None, x, y, z)
        lib.Java_JavaToC_reference(None, None, 20, 15, 5)
        lib.Java_JavaToC_vectorOut(None, None, 0, 0, -32000)
        lib.Java_JavaToC_closeConn(None, None)
    flush()
    print("e2e: done", flush=True)


if __name__ == "__main__":
    main()
