(steplink test program with refusals: a move past the X soft limit, an unknown code)
G21 G90
G0 Z3
G0 X10 Y10
G1 X400 F300       (past the soft limit of X, 300 mm)
G1 Y20
G7.5 X5            (no such code)
G0 X0 Y0
M30
