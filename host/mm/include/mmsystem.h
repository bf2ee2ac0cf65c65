/* <mmsystem.h> for MIDI client code written for Windows, built on Linux
 * against the multimedia layer: the MIDI half of winmm with Windows' names,
 * signatures, records and result codes, the ANSI (...A), wide (...W) and
 * generic forms (wide under UNICODE), MIDI streams, and the multimedia timer.
 * Includes <windows.h> of this directory when the client did not.
 *
 * Not offered: window and thread callbacks (CALLBACK_WINDOW, CALLBACK_THREAD
 * answer MMSYSERR_INVALFLAG), the MIDI mapper (MIDI_MAPPER answers
 * MMSYSERR_BADDEVICEID, as winmm does where no mapper is installed), MIDI
 * thru (midiConnect answers MMSYSERR_NOTSUPPORTED), patch caching, waveform
 * audio, mixers, MCI.
 *
 * Defined by host/mm (libvtmm); the timer by host/os (libvthost).
 */
#pragma once

#include "windows.h"
#include "../../os/mmsystem_base.h"

/* ---------------------------------------------------------------- types */
typedef HMIDI* LPHMIDI;
typedef HMIDIIN* LPHMIDIIN;
typedef HMIDIOUT* LPHMIDIOUT;
typedef HMIDISTRM* LPHMIDISTRM;
typedef DRVCALLBACK MIDICALLBACK;
typedef MIDICALLBACK* LPMIDICALLBACK;

#define MAXERRORLENGTH 256
#define MIDIMAPPER ((UINT)-1)
#define MIDI_MAPPER ((UINT)-1)
#define MIDIPATCHSIZE 128
typedef WORD PATCHARRAY[MIDIPATCHSIZE];
typedef WORD* LPPATCHARRAY;
typedef WORD KEYARRAY[MIDIPATCHSIZE];
typedef WORD* LPKEYARRAY;
#define MIDI_CACHE_ALL 1
#define MIDI_CACHE_BESTFIT 2
#define MIDI_CACHE_QUERY 3
#define MIDI_UNCACHE 4

/* ---------------------------------------------------------------- capabilities */
/* One record of each direction and text width, with Windows' names. */
#define VT_CAPS_RECORD(Name, Fields, TextChar) \
    typedef struct tag##Name {                 \
        Fields(TextChar)                       \
    } Name, *P##Name, *NP##Name, *LP##Name
VT_CAPS_RECORD(MIDIOUTCAPSA, VT_MIDIOUTCAPS_FIELDS, CHAR);
VT_CAPS_RECORD(MIDIOUTCAPSW, VT_MIDIOUTCAPS_FIELDS, WCHAR);
VT_CAPS_RECORD(MIDIINCAPSA, VT_MIDIINCAPS_FIELDS, CHAR);
VT_CAPS_RECORD(MIDIINCAPSW, VT_MIDIINCAPS_FIELDS, WCHAR);
VT_STATIC_ASSERT(sizeof(MIDIOUTCAPSA) == 52, "MIDIOUTCAPSA is 52 bytes");
VT_STATIC_ASSERT(sizeof(MIDIINCAPSA) == 44, "MIDIINCAPSA is 44 bytes");
#ifdef UNICODE
typedef MIDIOUTCAPSW MIDIOUTCAPS;
typedef MIDIINCAPSW MIDIINCAPS;
#else
typedef MIDIOUTCAPSA MIDIOUTCAPS;
typedef MIDIINCAPSA MIDIINCAPS;
#endif
typedef MIDIOUTCAPS *PMIDIOUTCAPS, *NPMIDIOUTCAPS, *LPMIDIOUTCAPS;
typedef MIDIINCAPS *PMIDIINCAPS, *NPMIDIINCAPS, *LPMIDIINCAPS;

/* ---------------------------------------------------------------- streams */
/* One event of a stream buffer: 12 bytes for a short event, followed by
 * MEVT_EVENTPARM(dwEvent) bytes padded to 4 for a long one (MEVT_F_LONG). */
typedef struct midievent_tag {
    DWORD dwDeltaTime; /* ticks after the event before */
    DWORD dwStreamID;  /* reserved, 0 */
    DWORD dwEvent;     /* type and flags in the high byte, parameter below */
    DWORD dwParms[1];  /* a long event's data */
} MIDIEVENT, *LPMIDIEVENT;

typedef struct midistrmbuffver_tag {
    DWORD dwVersion;
    DWORD dwMid;
    DWORD dwOEMVersion;
} MIDISTRMBUFFVER;

#define MEVT_F_SHORT 0x00000000u
#define MEVT_F_LONG 0x80000000u
#define MEVT_F_CALLBACK 0x40000000u
#define MEVT_EVENTTYPE(x) ((BYTE)(((x) >> 24) & 0xFF))
#define MEVT_EVENTPARM(x) ((DWORD)((x)&0x00FFFFFF))
#define MEVT_SHORTMSG ((BYTE)0x00) /* parameter: the message, status byte lowest */
#define MEVT_TEMPO ((BYTE)0x01)    /* parameter: microseconds per quarter note */
#define MEVT_NOP ((BYTE)0x02)      /* nothing (but its callback) */
#define MEVT_LONGMSG ((BYTE)0x80)  /* parameter: length of the bytes to send */
#define MEVT_COMMENT ((BYTE)0x82)
#define MEVT_VERSION ((BYTE)0x84)
#define MIDISTRM_ERROR (-2)

#define MIDIPROP_SET 0x80000000u
#define MIDIPROP_GET 0x40000000u
#define MIDIPROP_TIMEDIV 0x00000001u
#define MIDIPROP_TEMPO 0x00000002u

typedef struct midiproptimediv_tag {
    DWORD cbStruct;
    DWORD dwTimeDiv; /* SMF time division in the low 16 bits */
} MIDIPROPTIMEDIV, *LPMIDIPROPTIMEDIV;

typedef struct midiproptempo_tag {
    DWORD cbStruct;
    DWORD dwTempo; /* microseconds per quarter note */
} MIDIPROPTEMPO, *LPMIDIPROPTEMPO;

#define TIME_MS 0x0001
#define TIME_SAMPLES 0x0002
#define TIME_BYTES 0x0004
#define TIME_SMPTE 0x0008
#define TIME_MIDI 0x0010
#define TIME_TICKS 0x0020

typedef struct mmtime_tag {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour;
            BYTE min;
            BYTE sec;
            BYTE frame;
            BYTE fps;
            BYTE dummy;
            BYTE pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
} MMTIME, *PMMTIME, *NPMMTIME, *LPMMTIME;
VT_STATIC_ASSERT(sizeof(MMTIME) == 12, "MMTIME is 12 bytes");

/* ---------------------------------------------------------------- functions */
VT_EXTERN_C_BEGIN

/* Output. A device ID may also be an open handle of the kind, cast. */
UINT WINAPI midiOutGetNumDevs(void);
MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc);
MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc);
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback,
                            DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI midiOutClose(HMIDIOUT hmo);
MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg);
MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiOutReset(HMIDIOUT hmo);
MMRESULT WINAPI midiOutGetVolume(HMIDIOUT hmo, LPDWORD pdwVolume);
MMRESULT WINAPI midiOutSetVolume(HMIDIOUT hmo, DWORD dwVolume);
MMRESULT WINAPI midiOutGetID(HMIDIOUT hmo, LPUINT puDeviceID);
MMRESULT WINAPI midiOutMessage(HMIDIOUT hmo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);
MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);
MMRESULT WINAPI midiOutGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText);

/* Input. */
UINT WINAPI midiInGetNumDevs(void);
MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic);
MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic);
MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI midiInClose(HMIDIIN hmi);
MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiInStart(HMIDIIN hmi);
MMRESULT WINAPI midiInStop(HMIDIIN hmi);
MMRESULT WINAPI midiInReset(HMIDIIN hmi);
MMRESULT WINAPI midiInGetID(HMIDIIN hmi, LPUINT puDeviceID);
MMRESULT WINAPI midiInMessage(HMIDIIN hmi, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);
MMRESULT WINAPI midiInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);
MMRESULT WINAPI midiInGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText);

/* MIDI thru between an input and an output: not offered. */
MMRESULT WINAPI midiConnect(HMIDI hmi, HMIDIOUT hmo, LPVOID pReserved);
MMRESULT WINAPI midiDisconnect(HMIDI hmi, HMIDIOUT hmo, LPVOID pReserved);

/* Streams, played by the layer on a thread of each stream's own through the
 * output's short and long messages. A stream opens paused; its handle also
 * serves the midiOut... calls (cast to HMIDIOUT), which act at once. */
MMRESULT WINAPI midiStreamOpen(LPHMIDISTRM phms, LPUINT puDeviceID, DWORD cMidi,
                               DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI midiStreamClose(HMIDISTRM hms);
MMRESULT WINAPI midiStreamOut(HMIDISTRM hms, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiStreamRestart(HMIDISTRM hms);
MMRESULT WINAPI midiStreamPause(HMIDISTRM hms);
MMRESULT WINAPI midiStreamStop(HMIDISTRM hms);
MMRESULT WINAPI midiStreamProperty(HMIDISTRM hms, LPBYTE lppropdata, DWORD dwProperty);
MMRESULT WINAPI midiStreamPosition(HMIDISTRM hms, LPMMTIME lpmmt, UINT cbmmt);

VT_EXTERN_C_END

#define midiOutGetDevCaps VT_AW(midiOutGetDevCaps)
#define midiOutGetErrorText VT_AW(midiOutGetErrorText)
#define midiInGetDevCaps VT_AW(midiInGetDevCaps)
#define midiInGetErrorText VT_AW(midiInGetErrorText)
