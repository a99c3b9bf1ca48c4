; Countdown100 with the AB modifier: the same count, another instruction
; word, so none of its 100 tones sounds like one of Countdown100's.
DJN.AB $0, #100
DAT.F $0, $0
