// The multimedia names of this subset that read the same in C and C++ and in
// both views of wide text (see win32_base.h): result codes, MIDI handles and
// messages, the MIDI header, the capability records' fields, driver messages
// to DriverProc, and the multimedia timer.
//
// Defined by host/os (the timer: mm_timer.cpp; DefDriverProc:
// driver_services.cpp); used by the driver through win32.h, by host/mm and by
// client code through the client headers.
#pragma once

// Beside it: client code reaches these headers from host/mm/include alone.
#include "win32_base.h"

typedef UINT MMRESULT;
typedef UINT MMVERSION;

// The driver's 16-bit text unit, for the records it fills: char16_t in C++,
// its C twin in C.
#ifdef __cplusplus
typedef char16_t VT_CHAR16;
#else
typedef uint16_t VT_CHAR16;
#endif

VT_DECLARE_HANDLE(HDRVR);
VT_DECLARE_HANDLE(HMIDI);
VT_DECLARE_HANDLE(HMIDIIN);
VT_DECLARE_HANDLE(HMIDIOUT);
VT_DECLARE_HANDLE(HMIDISTRM);

#define MAXPNAMELEN 32

// ---------------------------------------------------------------- records
// The fields of the capability records, written once for every text width:
// char for the ...A records, 16-bit for what the driver fills, WCHAR for the
// ...W records of each view.
#define VT_MIDIOUTCAPS_FIELDS(TextChar)                      \
    WORD wMid;                     /* manufacturer ID */     \
    WORD wPid;                     /* product ID */          \
    MMVERSION vDriverVersion;      /* major, minor bytes */  \
    TextChar szPname[MAXPNAMELEN]; /* terminated name */     \
    WORD wTechnology;              /* MOD_... */             \
    WORD wVoices;                  /* 0 for a port */        \
    WORD wNotes;                   /* 0 for a port */        \
    WORD wChannelMask;             /* channels it answers */ \
    DWORD dwSupport;               /* MIDICAPS_... */
#define VT_MIDIINCAPS_FIELDS(TextChar)                      \
    WORD wMid;                     /* manufacturer ID */    \
    WORD wPid;                     /* product ID */         \
    MMVERSION vDriverVersion;      /* major, minor bytes */ \
    TextChar szPname[MAXPNAMELEN]; /* terminated name */    \
    DWORD dwSupport;               /* reserved, 0 */

// The capability records as the driver fills them, with 16-bit names: the
// driver's MIDIOUTCAPSW and MIDIINCAPSW, and what the layer asks it for.
typedef struct VtMidiOutCaps16 {
    VT_MIDIOUTCAPS_FIELDS(VT_CHAR16)
} VtMidiOutCaps16;
typedef struct VtMidiInCaps16 {
    VT_MIDIINCAPS_FIELDS(VT_CHAR16)
} VtMidiInCaps16;
VT_STATIC_ASSERT(sizeof(VtMidiOutCaps16) == 84, "MIDIOUTCAPSW is 84 bytes");
VT_STATIC_ASSERT(sizeof(VtMidiInCaps16) == 76, "MIDIINCAPSW is 76 bytes");

// Naturally aligned. Windows packs its multimedia records to the byte, which
// on 64-bit hosts leaves the header's pointers misaligned (112 bytes there);
// here every field keeps its own alignment, as code that links headers
// through &lpNext needs (120 bytes on 64-bit hosts, 64 on 32-bit ones, as on
// Windows).
typedef struct midihdr_tag {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    struct midihdr_tag* lpNext;
    DWORD_PTR reserved;
    DWORD dwOffset;
    DWORD_PTR dwReserved[8];
} MIDIHDR, *PMIDIHDR, *NPMIDIHDR, *LPMIDIHDR;
VT_STATIC_ASSERT(sizeof(MIDIHDR) == (sizeof(void*) == 8 ? 120 : 64),
                 "MIDIHDR is naturally aligned");

typedef struct timecaps_tag {
    UINT wPeriodMin;
    UINT wPeriodMax;
} TIMECAPS, *PTIMECAPS, *NPTIMECAPS, *LPTIMECAPS;

// The multimedia timer's callback, and the one an application gives with
// CALLBACK_FUNCTION (function types, as on Windows; LP... are the pointers).
typedef void(CALLBACK TIMECALLBACK)(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1,
                                    DWORD_PTR dw2);
typedef TIMECALLBACK* LPTIMECALLBACK;
typedef void(CALLBACK DRVCALLBACK)(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1,
                                   DWORD_PTR dw2);
typedef DRVCALLBACK* LPDRVCALLBACK;
typedef DRVCALLBACK* PDRVCALLBACK;

// ---------------------------------------------------------------- constants
// Result codes.
#define MMSYSERR_BASE 0
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTENABLED 3
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_BADERRNUM 9
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define MMSYSERR_INVALIDALIAS 13
#define MMSYSERR_BADDB 14
#define MMSYSERR_KEYNOTFOUND 15
#define MMSYSERR_READERROR 16
#define MMSYSERR_WRITEERROR 17
#define MMSYSERR_DELETEERROR 18
#define MMSYSERR_VALNOTFOUND 19
#define MMSYSERR_NODRIVERCB 20
#define MMSYSERR_MOREDATA 21
#define MMSYSERR_LASTERROR 21
#define MIDIERR_BASE 64
#define MIDIERR_UNPREPARED 64
#define MIDIERR_STILLPLAYING 65
#define MIDIERR_NOMAP 66
#define MIDIERR_NOTREADY 67
#define MIDIERR_NODEVICE 68
#define MIDIERR_INVALIDSETUP 69
#define MIDIERR_BADOPENMODE 70
#define MIDIERR_DONT_CONTINUE 71
#define MIDIERR_LASTERROR 71
#define TIMERR_BASE 96
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97
#define TIMERR_STRUCT 129

// Notifications (the MM_ names are the window-message spelling of the same).
#define MM_MIM_OPEN 0x3C1
#define MM_MIM_CLOSE 0x3C2
#define MM_MIM_DATA 0x3C3
#define MM_MIM_LONGDATA 0x3C4
#define MM_MIM_ERROR 0x3C5
#define MM_MIM_LONGERROR 0x3C6
#define MM_MOM_OPEN 0x3C7
#define MM_MOM_CLOSE 0x3C8
#define MM_MOM_DONE 0x3C9
#define MM_MOM_POSITIONCB 0x3CA
#define MM_MIM_MOREDATA 0x3CC
#define MIM_OPEN MM_MIM_OPEN
#define MIM_CLOSE MM_MIM_CLOSE
#define MIM_DATA MM_MIM_DATA
#define MIM_LONGDATA MM_MIM_LONGDATA
#define MIM_ERROR MM_MIM_ERROR
#define MIM_LONGERROR MM_MIM_LONGERROR
#define MOM_OPEN MM_MOM_OPEN
#define MOM_CLOSE MM_MOM_CLOSE
#define MOM_DONE MM_MOM_DONE
#define MOM_POSITIONCB MM_MOM_POSITIONCB
#define MIM_MOREDATA MM_MIM_MOREDATA

#define MHDR_DONE 0x00000001
#define MHDR_PREPARED 0x00000002
#define MHDR_INQUEUE 0x00000004
#define MHDR_ISSTRM 0x00000008

// Technologies and support bits of the output capabilities.
#define MOD_MIDIPORT 1
#define MOD_SYNTH 2
#define MOD_SQSYNTH 3
#define MOD_FMSYNTH 4
#define MOD_MAPPER 5
#define MOD_WAVETABLE 6
#define MOD_SWSYNTH 7
#define MIDICAPS_VOLUME 0x0001
#define MIDICAPS_LRVOLUME 0x0002
#define MIDICAPS_CACHE 0x0004
#define MIDICAPS_STREAM 0x0008

// Open flags: the callback type is in the high 16 bits.
#define CALLBACK_TYPEMASK 0x00070000u
#define CALLBACK_NULL 0x00000000u
#define CALLBACK_WINDOW 0x00010000u
#define CALLBACK_TASK 0x00020000u
#define CALLBACK_THREAD CALLBACK_TASK
#define CALLBACK_FUNCTION 0x00030000u
#define CALLBACK_EVENT 0x00050000u
#define MIDI_IO_STATUS 0x00000020u

// Messages to DriverProc.
#define DRV_LOAD 0x0001
#define DRV_ENABLE 0x0002
#define DRV_OPEN 0x0003
#define DRV_CLOSE 0x0004
#define DRV_DISABLE 0x0005
#define DRV_FREE 0x0006
#define DRV_CONFIGURE 0x0007
#define DRV_QUERYCONFIGURE 0x0008
#define DRV_INSTALL 0x0009
#define DRV_REMOVE 0x000A
#define DRV_EXITSESSION 0x000B
#define DRV_POWER 0x000F
#define DRV_RESERVED 0x0800
#define DRV_USER 0x4000

#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIME_CALLBACK_FUNCTION 0x0000
#define TIME_KILL_SYNCHRONOUS 0x0100

// ---------------------------------------------------------------- functions
VT_EXTERN_C_BEGIN

LRESULT WINAPI DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1,
                             LPARAM lParam2);

// Multimedia timer: every periodic callback of the process runs on one timer
// thread at about 1 ms. When timeKillEvent returns, that timer's callback is
// not running and never runs again (unless it was called from that callback).
MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc);
MMRESULT WINAPI timeBeginPeriod(UINT uPeriod);
MMRESULT WINAPI timeEndPeriod(UINT uPeriod);
MMRESULT WINAPI timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK lpTimeProc,
                             DWORD_PTR dwUser, UINT fuEvent);
MMRESULT WINAPI timeKillEvent(UINT uTimerID);
DWORD WINAPI timeGetTime(void);

VT_EXTERN_C_END
