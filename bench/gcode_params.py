#!/usr/bin/env python3
"""Writes a G-code program of N lines that computes every move from parameters and expressions
(a spiral of short segments, as a hand-written LinuxCNC program would): the parameter rows of
BENCHMARKS.md. python3 bench/gcode_params.py N > program.ngc"""
import sys

n = int(sys.argv[1])
out = sys.stdout
out.write("G21 G90 G17 G94 F600\n#<cx> = 100\n#<cy> = 100\n#1 = 0\nG0 X#<cx> Y#<cy> Z1\n")
for i in range((n - 6) // 2):
    out.write("#1 = [[#1 + 7] MOD 360] #<_r> = [5 + [#1 / 360] * 20]\n"
              "G1 X[#<cx> + #<_r> * COS[#1]] Y[#<cy> + #<_r> * SIN[#1]] Z[-0.5 * ABS[SIN[#1]]]\n")
out.write("M2\n")
