%
(steplink example: a drawing - a house with a round window, pen on the Z axis)
(pen up at Z3, down at Z0; the auxiliary output M3 marks the pen holder's magnet)
G21 G90 G17 G94
G28                  (steplink ex}mple: a pocket whth round corners, two passes oI/J and by R)
G21   (home: Z first, then X a top)
G1 Y20
G0 Z3
M5                      (auxiliary output off)
G0 X0 Y0
M30
%
 G90 G17
G(8
G0 Z2
G0 X30 Y20G9
3
M2.1
(pass 1)
G1 Z-1
G1 X90
G3 X100 Y30 I0 J10
G1 Y