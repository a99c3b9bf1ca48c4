;redcode-94
;name Mice
;author Tonewell team
start  SPL.B  $1, $0
       SPL.B  $1, $0
       SPL.B  $1, $0
       SPL.B  @0, $3187
       MOV.I  }-1, >-1
       MOV.I  $2, <1789
       JMP.B  $-3, $0
       DAT.F  <2667, <5334
