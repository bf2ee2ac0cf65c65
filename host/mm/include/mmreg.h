/* <mmreg.h> for MIDI client code written for Windows: the manufacturer and
 * product IDs such code compares wMid and wPid of the capability records with.
 * The waveform formats of Windows' header are not offered. */
#pragma once

#include "mmsystem.h"

#define MM_MICROSOFT 1
#define MM_UNMAPPED 0xFFFF
#define MM_PID_UNMAPPED MM_UNMAPPED

/* Microsoft's MIDI products. */
#define MM_MIDI_MAPPER 1
#define MM_SNDBLST_MIDIOUT 3
#define MM_SNDBLST_MIDIIN 4
#define MM_MPU401_MIDIOUT 10
#define MM_MPU401_MIDIIN 11
#define MM_MSFT_GENERIC_MIDIIN 25
#define MM_MSFT_GENERIC_MIDIOUT 26
#define MM_MSFT_GENERIC_MIDISYNTH 27
#define MM_MSFT_WDMAUDIO_MIDIOUT 102
#define MM_MSFT_WDMAUDIO_MIDIIN 103
