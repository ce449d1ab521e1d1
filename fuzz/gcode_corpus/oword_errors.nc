o1 sub
o1 call
o1 endsub
o1 call
o2 endif
o3 return
M98 P5
M99
