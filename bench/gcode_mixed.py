#!/usr/bin/env python3
"""Writes the benchmark's G-code program of N lines of lines and arcs (the pocket-like mix of
bench/gcode_bench.cpp): python3 bench/gcode_mixed.py N > program.nc"""
import sys

n = int(sys.argv[1])
out = sys.stdout
out.write("G21 G90 G17 G94 (pocket)\nG0 X100 Y100\n")
for i in range((n - 2) // 4):
    x = 100 + (i % 200) * 0.5
    out.write(f"N{i} G1 X{x:.3f} Y100 ; cut\nG3 X{x:.3f} Y110 I0 J5\nG1 X{x - 1:.3f}\n"
              f"G2 X{x - 1:.3f} Y100 R-5\n")
