(arcs in the three planes, both directions, by I/J/K and by R, absolute centres)
G21 G90
(homed before the first line: steplink gcode --home)
G0 X50 Y50 Z0
G17
G2 X70 Y50 I10 J0
G3 X50 Y50 I-10 J0
G3 X60 Y60 R10
G2 X50 Y50 R-10
G18
G2 X60 Z0 I5 K0
G3 X50 Z0 R5
G19
G2 Y60 Z0 J5 K0
G3 Y50 Z0 X52 J-5 K0
G17 G90.1
G2 X68 Y50 I60 J50
G91.1
G3 X68 Y50 I-8 J0
M30
