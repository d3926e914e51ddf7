; blink: toggles port 4 bit 0 of an H8/3062F in a delay loop.
; Advanced (16 MB) mode: the reset vector at 0 holds the 32-bit start address.
        .h8300h
        .equ    P4DDR, 0xFEE003         ; port 4 data direction register
        .equ    P4DR,  0xFFFFD3         ; port 4 data register
        .equ    STACK, 0xFFFF10         ; top of the on-chip RAM

        .global start
        .section .text
        .org    0
        .long   start                   ; reset vector
        .org    0x100, 0xff             ; unused vectors stay erased
start:
        mov.l   #STACK, er7
        mov.b   #0x01, r0l
        mov.b   r0l, @P4DDR:24          ; bit 0 an output
loop:
        mov.b   @P4DR:24, r0l
        xor.b   #0x01, r0l
        mov.b   r0l, @P4DR:24
        mov.l   #200000, er1
delay:
        dec.l   #1, er1
        bne     delay
        bra     loop
