G21
o1 while [1]
G0 X1
o1 endwhile
