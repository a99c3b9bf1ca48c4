; Counts down from 100 on the spot with DJN.B, then steps onto a DAT and
; dies: 100 tones, each with its own B-number (100, 99, ..., 1).
DJN.B $0, #100
DAT.F $0, $0
