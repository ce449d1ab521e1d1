(soft-limit breaches on one axis a line, a refusal, and lines judged as written after them)
G21 G90
(homed before the first line: steplink gcode --home)
G0 Z3
G1 X320
G1 X10 Y10
G1 Y250
G2 X10 Y10 I0 J-5
G1 Y10
G1 Z-30
G1 Z0
G5 X1
M30
