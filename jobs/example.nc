%
(steplink example: a drawing - a house with a round window, pen on the Z axis)
(pen up at Z3, down at Z0; the auxiliary output M3 marks the pen holder's magnet)
G21 G90 G17 G94
(homed before the first line: steplink gcode --home)
G0 Z3
G0 X20 Y20
M3 S1000                (auxiliary output on; S is not honoured)
G1 Z0 F300
G1 X80                  (the floor)
G1 Y60                  (right wall)
G1 X50 Y85              (roof, right)
G1 X20 Y60              (roof, left)
G1 Y20                  (left wall)
G0 Z3
G0 X62 Y45
G1 Z0
G2 X62 Y45 I-12 J0      (round window: a full circle)
G0 Z3
G0 X32 Y20
G1 Z0
G1 Y40
G2 X44 Y40 R6           (door with a round top)
G1 Y20
G0 Z3
M5                      (auxiliary output off)
G0 X0 Y0
M30
%
