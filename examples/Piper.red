;redcode-94
;name Piper
;author Tonewell team
start  SPL.B  $6, $0
       ADD.AB #3044, $3
       MOV.I  $3, @2
       JMP.B  $-2, $0
       DAT.F  #0, #3044
       DAT.F  >1, >2
       MOV.I  $0, $1
