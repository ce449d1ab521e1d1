(a helical bore with the auxiliary output on, Z moves re-applying it, M4 and M5)
G21 G90 G17
(homed before the first line: steplink gcode --home)
G0 Z5
G0 X100 Y100
M3 S5000
G1 Z0
G1 X110
G2 X110 Y100 Z-2 I-10 J0
G2 X110 Y100 Z-4 I-10 J0
G3 X90 Y100 Z-5 R10
G1 Z-3
G1 X100
G0 Z5
M5
G0 X120
M4
G1 Z-1
G1 Y120
M5
G0 Z5
G28
M3
G1 X10 Y10
M5
M30
