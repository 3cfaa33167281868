S6F11 E W
<L[3]
 <U4[1]DATAID 0x10
 <L[1|2]ALT
  <I8[2]BIG -1,0xFFFFFFFFFFFFFFFF
  <K2[0..8]KAN "ab cd"
 <L[0..N]REPORTS
  <F8[1]REAL 1.5e3
  <B[0..64]PIC @FILENAME="x.bin"
  <A[16]@TIMEX YYYYMMDDhhmmss00
  <T[2]FLAG T,F // comment
/* block
  <A[1]HIDDEN
*/>
S99F1
< A [ 2 ] SP "x y"
