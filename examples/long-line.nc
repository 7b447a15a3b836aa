; its third line is longer than 255 characters: it goes out whole, in pieces of 256
G21 G90
N10 G01 X10 Y5 F300 (clamp the plate at the two front corners first, then at the back ones; check that the 3 mm drill is the one in the collet, that the coolant is off for this aluminium part and that the vacuum table holds before the first pass; the spindle runs at 12000 rpm)
M30
