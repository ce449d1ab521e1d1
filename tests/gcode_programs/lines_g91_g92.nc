(lines in absolute and relative moves, a work offset and its clearing)
G21 G90 G17
(homed before the first line: steplink gcode --home)
G0 Z5
G0 X10 Y10
G1 Z-1 F200
G1 X60.0125 Y10.0375
G1 X60 Y40
G91
G1 X-20 Y5.33
G1 X-10.001 Y-5.33
G1 Z2
G90
G92 X0 Y0
G1 X15 Y15
G0 Z3
G92.1
G0 X100 Y100
G0 X0 Y0 Z0
M2
G1 X5
