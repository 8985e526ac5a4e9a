/* MIDI message-length tables. */
#include "midiout/msglen.h"

/*                            8x Note off, 9x Note on, Ax Poly pressure, Bx Control,
                              Cx Program, Dx Channel pressure, Ex Pitch bend, Fx (unused) */
constexpr BYTE gabMsgLenChannel[8] = {3, 3, 3, 3, 2, 2, 3, 0};

/* F0 starts system exclusive and is sent alone; F1 quarter frame, F2 song
   position, F3 song select; everything else is a single byte. */
constexpr BYTE gabMsgLenSystem[16] = {1, 2, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
