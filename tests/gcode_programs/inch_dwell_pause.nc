(inch units, dwells, pauses and a tool change, coolant words)
G20 G90 G17
(homed before the first line: steplink gcode --home)
G0 Z0.2
G0 X1 Y1
M8
G1 Z-0.04 F10
G4 P0.5
G1 X2.5 Y1.25
G2 X3.5 Y2.25 I0 J1
M0
G1 X1.0 Y3.0
G0 Z0.2
T2 M6
M1
G21
G1 X40 Y40
G4 P2
M9
G0 Z2
M30
