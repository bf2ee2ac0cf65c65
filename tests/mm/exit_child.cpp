// A process that uses the layer and then exits without shutting it down:
// "idle" closes what it opened first, "open" leaves an output handle open.
#include <cstdio>
#include <cstring>

#include <windows.h>
#include <mmsystem.h>

#include "host/mm/vtmm.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    if (midiOutGetNumDevs() == 0) return 3;
    HMIDIOUT h = nullptr;
    if (midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return 4;
    if (!std::strcmp(argv[1], "idle") && midiOutClose(h) != MMSYSERR_NOERROR) return 5;
    return 0;
}
