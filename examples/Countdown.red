; Counts down from 150 on the spot, then steps onto a DAT and dies:
; about 150 instructions, a battle of a few hundred tones.
DJN.B $0, #150
DAT.F $0, $0
