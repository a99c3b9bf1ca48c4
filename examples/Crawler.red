; The smallest warrior: copies itself one cell ahead, forever.
MOV.I $0, $1
