;redcode-94
;name Carillon
;author Tonewell team
;strategy A stone in the manner of Dwarf: it drops a DAT every 3044 cells,
;strategy which rings through every fourth cell of the core and never hits
;strategy its own code. Behind it a FOR block lays a short row of decoys,
;strategy and END names where it starts. Written as source, to be played
;strategy with TONEWELL_REDCODE=source or assembled with tonewell-asm.
;assert CORESIZE == 8000 && MAXLENGTH >= 12

STEP    equ     3044            ; 4 * 761: the bombs stay off cells 1..3
DECOYS  equ     6

bomb    dat     #0, #0
start   add.ab  #STEP, bomb
        mov.i   bomb, @bomb
        jmp     start, <bomb-1  ; the B-field wears down whatever lies behind

; Decoys that look like bombs in flight to a scanner.
n       for     DECOYS
        dat     #n, #n*STEP
        rof

        end     start
