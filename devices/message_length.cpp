// The length of MIDI messages by status, status byte included.
#include "devices/devices.h"

const BYTE gabMsgLenChannel[8] = {3, 3, 3, 3, 2, 2, 3, 0};
const BYTE gabMsgLenSystem[16] = {1, 2, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
