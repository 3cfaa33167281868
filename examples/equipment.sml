// Message definitions of a wafer-handling tool (equipment side).
//
// A message line names the message (S<stream>F<function>, optionally with a
// suffix), then its attributes: H sent by the host, E sent by the equipment,
// D default reply, W reply expected. Each item line gives the format, the
// element count in brackets ([n] fixed, [a..b] range, L[N] any number of
// entries) and the item name, then value 0 (sent when the message is
// built) and up to five accepted values (a received item must equal one of
// them).
//
// The comment after an item is read by the bridge: PLC device code, read
// address, write address and number of words, for example
//     <A[0..20]MDLN      // 0xA8,0x1000,0,10
// keeps MDLN in the ten D registers from 0x1000. The read address is used
// when the PLC asks for a message to the host (the bridge reads the item
// there before it builds the message); the write address when a message
// from the host is handed to the PLC (the bridge writes the item there).
// An address of 0 leaves that direction out: an item whose read address
// is 0 keeps the value written in its line. Text and 1-byte items take two
// characters a word, 2-byte integers one word, 4-byte values two words
// (lower word first on MELSEC and Keyence, higher word first on Omron).

/* ---- S1: equipment status ---- */
S1F1 H E W
S1F2 E
<L[2]
  <A[0..20]MDLN WHC-01            // 0xA8,0x1000,0,10
  <A[0..20]SOFTREV 1.0.3          // 0xA8,0x100A,0,10
>
S1F2_H H
<L[0]
S1F3 H W
<L[N]SVIDLIST
  <U4[1]SVID 1                    // 0xA8,0,0x2000,2
>
S1F4 E
<L[N]SVLIST
  <A[0..40]SV                     // 0xA8,0x1100,0,20
>
S1F13 E W
<L[2]
  <A[0..20]MDLN WHC-01
  <A[0..20]SOFTREV 1.0.3
>
S1F13_H H W
<L[0]
S1F14 H
<L[2]
  <B[1]COMMACK 0 0 1              // 0xA8,0,0x2010,1
  <L[0]
>
S1F14_E E
<L[2]
  <B[1]COMMACK 0 0 1
  <L[2]
    <A[0..20]MDLN WHC-01
    <A[0..20]SOFTREV 1.0.3
  >
>

/* ---- S2: equipment control ---- */
S2F13 H W
<L[N]ECIDLIST
  <U4[1]ECID 1                    // 0xA8,0,0x2020,2
>
S2F14 E
<L[N]ECVLIST
  <U4[1]ECV 0                     // 0xA8,0x1200,0,2
>
S2F17 H W
S2F18 E
<A[16]@TIME YYYYMMDDhhmmss00
S2F41 H W
<L[2]
  <A[1..20]RCMD START START STOP PAUSE RESUME ABORT   // 0xA8,0,0x2030,10
  <L[N]CPLIST
    <L[2]
      <A[1..20]CPNAME LOTID       // 0xA8,0,0x2040,10
      <A[0..40]CPVAL              // 0xA8,0,0x2050,20
    >
  >
>
S2F42 E
<L[2]
  <B[1]HCACK 0                    // 0xA8,0x1300,0,1
  <L[N]CPACKLIST
    <L[2]
      <A[1..20]CPNAME LOTID
      <B[1]CPACK 1
    >
  >
>

/* ---- S5: alarms ---- */
S5F1 E W
<L[3]
  <B[1]ALCD 0x80                  // 0xA8,0x1400,0,1
  <U4[1]ALID 1001                 // 0xA8,0x1401,0,2
  <A[0..40]ALTX DOOR_OPEN         // 0xA8,0x1403,0,20
>
S5F2 H
<B[1]ACKC5 0 0 1                  // 0xA8,0,0x2068,1

/* ---- S6: data collection ---- */
S6F11 E W
<L[3]
  <U4[1]DATAID 1                  // 0xA8,0x1500,0,2
  <U4[1]CEID 100                  // 0xA8,0x1502,0,2
  <L[N]RPTLIST
    <L[2]
      <U4[1]RPTID 1               // 0xA8,0x1504,0,2
      <L[N]VLIST
        <U4[1]V 0                 // 0xA8,0x1506,0,2
      >
    >
  >
>
S6F12 H
<B[1]ACKC6 0                      // 0xA8,0,0x2070,1

/* ---- S10: terminal services ---- */
S10F3 H W
<L[2]
  <B[1]TID 0                      // 0xA8,0,0x2080,1
  <A[0..120]TEXT                  // 0xA8,0,0x2090,60
>
S10F4 E D
<B[1]ACKC10 0                     // 0xA8,0x1600,0,1
