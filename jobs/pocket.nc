(steplink example: a pocket with round corners, two passes of 1 mm, arcs by I/J and by R)
G21 G90 G17
(homed before the first line: steplink gcode --home)
G0 Z2
G0 X30 Y20
M3
G91.1
(pass 1)
G1 Z-1
G1 X90
G3 X100 Y30 I0 J10
G1 Y70
G3 X90 Y80 R10
G1 X30
G3 X20 Y70 I0 J-10
G1 Y30
G3 X30 Y20 R10
(pass 2: deeper, then the inside in relative moves)
G1 Z-2
G1 X90
G3 X100 Y30 I0 J10
G1 Y70
G3 X90 Y80 R10
G1 X30
G3 X20 Y70 I0 J-10
G1 Y30
G3 X30 Y20 R10
G91
G1 X10 Y10
G1 X50
G1 Y40
G1 X-50
G1 Y-40
G90
(a helical bore down at the centre)
G0 Z2
G0 X70 Y50
G1 Z0
G2 X70 Y50 Z-2 I-5 J0
G0 Z2
M5
G0 X0 Y0 Z0
M2
