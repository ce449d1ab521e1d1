G21 G90 G17
#1 = 2 #<depth> = [#1 * 1.5] #<_safe> = 5
G0 Z#<_safe>
G1 F[100 * #1] X[#1 ** 2] Y-[#<depth>] Z-[#<depth> / 2]
#2 = [ATAN[1]/[-1] + SIN[30] + COS[60] + TAN[45] + ASIN[.5] + ACOS[.5]]
#3 = [EXP[1] + LN[2] + SQRT[2] + ABS[-3] + FIX[-1.5] + FUP[-1.5] + ROUND[2.5]]
#4 = [7 MOD 3 EQ 1 AND 2 NE 3 OR 1 GT 2 XOR 1 GE 1 AND 1 LT 2 OR 1 LE 1]
G0 X[#2 / 100] Y[#3 / 10] Z[#4 + EXISTS[#<depth>]]
#[#1 + 1] = 7 G0 X##1
G10 L2 P1 X[#5420] Y[#<_y>]
G2 X[#5221 + 2] Y0 I1 J0
G0 X[#<_coord_system> / 100] Y[#5220]
#5420 = 1
G0 X[1/0] Y[SQRT[-1]] Z#<unset>
G10 L2 P1 X0 Y0
M2
