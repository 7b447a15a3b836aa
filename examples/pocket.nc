; pocket 20 x 10, depth 1
G21 G90
G00 X0 Y0 Z5
G01 Z-1 F100
M30
