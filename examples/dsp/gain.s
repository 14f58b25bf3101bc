; gain.s: scales every sample of the block by a gain the host sends.
; Assemble with:  mvasm examples/dsp/gain.s -o gain.bin   (or -c for a C array)

; Routine 0, the initializer, starts at address 0. The stack holds, from sp
; upward: 0, the sample rate, the channel count. It answers with the entry
; points of routines 1, 2 and 3 in R0, R1 and R2.
init:   POP2  R3, R4            ; R3 = 0, R4 = sample rate
        POP   R5                ; channel count
        ST32  channels, R5
        LDI16 R0, set_gain      ; routine 1: the initial message
        LDI16 R1, set_gain      ; routine 2: every later message
        LDI16 R2, process       ; routine 3: every block
        HALT

; Routines 1 and 2: the stack holds n, then n words. Word 0 is the gain as
; a float; a message without words keeps the gain as it is.
set_gain:
        POP   R1                ; n
        JZ    R1, done
        POP   R2                ; word 0
        ST32  gain, R2
done:   LDI8  R0, 0             ; 0 in R0: success
        HALT

; Routine 3: the stack holds the frame count, then the address of the
; block (frames x channels interleaved floats).
process:
        POP2  R1, R2            ; R1 = frames, R2 = block address
        LD32  R3, channels
        MUL   R1, R1, R3        ; samples in the block
        LD32  R4, gain
        LDI8  R5, 4             ; bytes per sample
        JZ    R1, finished
loop:   LD32R R6, R2
        FMUL  R6, R6, R4
        ST32R R2, R6
        ADD   R2, R2, R5
        DEC   R1
        JNZ   R1, loop
finished:
        LDI8  R0, 0
        HALT

gain:     .float 1.0
channels: .word 0
