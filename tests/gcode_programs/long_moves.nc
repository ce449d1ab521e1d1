(long moves split below 32000 steps, on a fine machine)
G21 G90
G0 X0 Y0 Z0
G1 X1500 Y10
G1 Z-40
G1 Z40
G1 X0 Y1500 Z-35
M3
G1 X1499.9 Y0.05
G1 Z10
G0 X0 Y0 Z0
M5
M30
