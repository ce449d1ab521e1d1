%
(O1001 pocket: the pocket of issue 22 as a CAM post writes it, O-word and G64 P Q left out)
G90 G94 G17
G21
G28 G91 Z0.
G90
T1 M6
S12000 M3
G54
G0 X10 Y10
G1 Z-1 F300
G1 X20
G64
G53 G0 Z0.
G28 G91 X0. Y0.
M30
%
