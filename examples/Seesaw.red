; Two counters that hand the process to each other: each counts its own
; B-number down by one per visit, so no tone repeats for about 200 cycles.
DJN.B $1, #99
DJN.B $-1, #99
