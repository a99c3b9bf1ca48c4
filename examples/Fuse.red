; Burns down from 100 on the spot, then steps onto a DAT and dies: 100
; tones whose B-number differs each time, then the DAT's.
DJN.B $0, #100
DAT.F $0, $0
