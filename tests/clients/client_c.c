/* A MIDI program in C as it is written for Windows: the ANSI, wide and
 * generic names, a critical section, events, and the text conversions.
 * Built as C99 without UNICODE and as C11 with it; run against the layer's
 * stand-in driver (four ports a direction; port 2 is named
 * "Synth \u00e9\U0001D11E"). Prints "ok" and answers 0 when all held. */
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>

#include <stdio.h>
#include <string.h>

static int failures;
#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

static CRITICAL_SECTION lock;
static DWORD_PTR opens, closes;

static void CALLBACK OnOutput(HMIDIOUT hmo, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1,
                              DWORD_PTR dw2) {
    (void)hmo;
    (void)dw1;
    (void)dw2;
    EnterCriticalSection(&lock);
    if (uMsg == MOM_OPEN) opens += dwInstance;
    if (uMsg == MOM_CLOSE) closes += dwInstance;
    LeaveCriticalSection(&lock);
}

int main(void) {
    MIDIOUTCAPSA capsA;
    MIDIOUTCAPSW capsW;
    MIDIINCAPS caps;
    char utf8[4 * MAXPNAMELEN];
    WCHAR wide[MAXERRORLENGTH];
    TCHAR text[MAXERRORLENGTH];
    HMIDIOUT hmo;
    HMIDIIN hmi;
    HANDLE hEvent;
    UINT id = 0;

    InitializeCriticalSectionAndSpinCount(&lock, 4000);
    CHECK(midiOutGetNumDevs() == 4);

    /* The wide name, converted as Windows programs do, is the narrow one. */
    CHECK(midiOutGetDevCapsA(2, &capsA, sizeof capsA) == MMSYSERR_NOERROR);
    CHECK(midiOutGetDevCapsW(2, &capsW, sizeof capsW) == MMSYSERR_NOERROR);
    CHECK(wcscmp(capsW.szPname, L"Synth \u00e9\U0001D11E") == 0);
    CHECK(WideCharToMultiByte(CP_UTF8, 0, capsW.szPname, -1, utf8, sizeof utf8, NULL, NULL) ==
          (int)strlen(capsA.szPname) + 1);
    CHECK(strcmp(utf8, capsA.szPname) == 0);
    CHECK(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, capsA.szPname, -1, wide, MAXERRORLENGTH) ==
          9);
    CHECK(wcscmp(wide, capsW.szPname) == 0);

    /* The generic names follow UNICODE. */
    CHECK(midiInGetDevCaps(0, &caps, sizeof caps) == MMSYSERR_NOERROR);
    CHECK(caps.szPname[0] == TEXT('F') && sizeof caps.szPname == MAXPNAMELEN * sizeof(TCHAR));
    CHECK(caps.wMid != MM_MICROSOFT && caps.wMid != MM_UNMAPPED);
    CHECK(midiOutGetErrorText(MMSYSERR_BADDEVICEID, text, MAXERRORLENGTH) == MMSYSERR_NOERROR);
    CHECK(text[0] == TEXT('A'));
    CHECK(midiInGetErrorTextW(MIDIERR_STILLPLAYING, wide, MAXERRORLENGTH) == MMSYSERR_NOERROR);
    CHECK(wcsncmp(wide, L"Cannot perform", 14) == 0);

    /* A function callback under a critical section. */
    CHECK(midiOutOpen(&hmo, 1, (DWORD_PTR)OnOutput, 7, CALLBACK_FUNCTION) == MMSYSERR_NOERROR);
    CHECK(midiOutGetID(hmo, &id) == MMSYSERR_NOERROR && id == 1);
    CHECK(midiOutShortMsg(hmo, 0x00403C90) == MMSYSERR_NOERROR);
    CHECK(midiOutClose(hmo) == MMSYSERR_NOERROR);
    CHECK(TryEnterCriticalSection(&lock));
    CHECK(opens == 7 && closes == 7);
    LeaveCriticalSection(&lock);
    DeleteCriticalSection(&lock);

    /* An event callback; events have no names here. */
    hEvent = CreateEvent(NULL, FALSE, FALSE, NULL);
    CHECK(hEvent != NULL);
    CHECK(CreateEventA(NULL, FALSE, FALSE, "named") == NULL);
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
    CHECK(midiInOpen(&hmi, 0, (DWORD_PTR)hEvent, 0, CALLBACK_EVENT) == MMSYSERR_NOERROR);
    CHECK(WaitForSingleObject(hEvent, 0) == WAIT_OBJECT_0);
    CHECK(midiInClose(hmi) == MMSYSERR_NOERROR);
    CHECK(midiInOpen(&hmi, MIDI_MAPPER, 0, 0, CALLBACK_NULL) == MMSYSERR_BADDEVICEID);
    CloseHandle(hEvent);
    CHECK(CreateEventW(NULL, FALSE, FALSE, L"\U00010000") == NULL);

    /* Device files beside the interfaces' are none. */
    CHECK(CreateFile(TEXT("\\\\.\\nothing"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) ==
          INVALID_HANDLE_VALUE);
    CHECK(GetLastError() == ERROR_FILE_NOT_FOUND);

    if (failures == 0) printf("ok\n");
    return failures != 0;
}
