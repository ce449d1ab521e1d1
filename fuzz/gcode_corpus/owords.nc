(O-word control flow: subroutines, loops, conditions, Fanuc subprograms)
G21 G90
o100 sub
  G1 X#1 Y#2
  o100 return [#1 + #2]
o100 endsub
#31 = 0
o1 while [#31 LT 3]
  #31 = [#31 + 1]
  o2 if [#31 EQ 2]
    o1 continue
  o2 elseif [#31 GT 2]
    o100 call [#31] [1]
  o2 else
    G0 Z#<_value>
  o2 endif
o1 endwhile
o3 do
  #31 = [#31 - 1]
o3 while [#31 GT 0]
o[4] repeat [2]
  G91 G0 X1
o[4] endrepeat
G90
M98 P200 L2
M30
O200
G91 G0 Y1
M99
