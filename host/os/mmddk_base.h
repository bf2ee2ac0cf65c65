// What passes between the multimedia layer and a MIDI driver, the same in
// both views of wide text (see win32_base.h): the output and input driver
// messages, the open record, and DriverCallback. Not part of the client
// headers, as <mmddk.h> is not part of <windows.h>.
//
// Defined by host/os (DriverCallback: driver_services.cpp); used by the driver
// through win32.h and by host/mm.
#pragma once

#include "mmsystem_base.h"

typedef struct {
    DWORD dwStreamID;
    UINT uDeviceID;
} MIDIOPENSTRMID;

typedef struct {
    HMIDI hMidi;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    DWORD_PTR dnDevNode;
    DWORD cIds;
    MIDIOPENSTRMID rgIds[1];
} MIDIOPENDESC, *LPMIDIOPENDESC;

// Output and input driver messages.
#define MODM_GETNUMDEVS 1
#define MODM_GETDEVCAPS 2
#define MODM_OPEN 3
#define MODM_CLOSE 4
#define MODM_PREPARE 5
#define MODM_UNPREPARE 6
#define MODM_DATA 7
#define MODM_LONGDATA 8
#define MODM_RESET 9
#define MODM_GETVOLUME 10
#define MODM_SETVOLUME 11
#define MIDM_GETNUMDEVS 53
#define MIDM_GETDEVCAPS 54
#define MIDM_OPEN 55
#define MIDM_CLOSE 56
#define MIDM_PREPARE 57
#define MIDM_UNPREPARE 58
#define MIDM_ADDBUFFER 59
#define MIDM_START 60
#define MIDM_STOP 61
#define MIDM_RESET 62

// DriverCallback flags (the callback type of the open flags shifted down).
#define DCB_NULL 0x0000
#define DCB_WINDOW 0x0001
#define DCB_TASK 0x0002
#define DCB_FUNCTION 0x0003
#define DCB_EVENT 0x0005
#define DCB_TYPEMASK 0x0007
#define DCB_NOSWITCH 0x0008

VT_EXTERN_C_BEGIN

// Calls the application back: DCB_FUNCTION calls dwCallback as a DRVCALLBACK
// with (hDevice, dwMsg, dwUser, dwParam1, dwParam2); DCB_EVENT sets the event
// whose handle is dwCallback. Any other type answers FALSE.
BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                           DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);

VT_EXTERN_C_END
