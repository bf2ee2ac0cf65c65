// The driver's side of the contract with the kernel transport driver: verify
// and acquire an interface when a client opens a port, put a port's block into
// streaming with a long-pending start request, start it again when the
// kernel side has ended it under a live user, and take it out again.
//
// Each instance's acquisition count and each stream's open count and request
// handles change under the instance's control lock, so any number of threads
// may open and close ports of one interface at once: a thread that finds an
// acquisition or a stop under way waits for it instead of being refused. Every
// request completes into an overlapped record and an event of its own. What
// other processes must see (counts, who starts or stops a block) is decided
// under the named mutex; the requests go out after it is given back, so a
// kernel side that is slow to answer holds up only the thread that asks.
#include "hwlink/hwlink.h"

// How long a control request that the kernel side keeps pending is waited
// for before it is cancelled: the kernel side answers them at once.
constexpr DWORD kControlWaitMs = 2000;
// How long a stop waits for its stream to end: the kernel side first sends
// what the ring still holds, at most a full ring (about a second at the MIDI
// wire rate). A stream that does not end in time is given up.
constexpr DWORD kStreamEndWaitMs = 5000;
// How long an open waits for a stop of its stream under way elsewhere: longer
// than any stop takes.
constexpr DWORD kStopUnderWayWaitMs = kStreamEndWaitMs + 2 * kControlWaitMs;
// How often an open that waits for another process's stop looks whether that
// process still runs.
constexpr DWORD kStopperCheckMs = 100;

static HANDLE OpenDeviceFile(HardwareInstance* pInstance) {
    return CreateFileW(pInstance->szDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

static HANDLE NewRequestEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

// One control request on an open device file, waited for: its overlapped
// record lives on this frame, so the request must be over before the frame
// ends. One still pending after kControlWaitMs is cancelled by closing the
// file, and *phFile becomes null. Answers TRUE when the request succeeded;
// *pcbReturned (when given) receives the bytes it returned.
static BOOL DeviceRequest(HANDLE* phFile, DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut,
                          DWORD cbOut, DWORD* pcbReturned) {
    OVERLAPPED ovl = {};
    ovl.hEvent = NewRequestEvent();
    if (ovl.hEvent == nullptr) return FALSE;
    DWORD cb = 0;
    BOOL fDone = DeviceIoControl(*phFile, dwCode, pIn, cbIn, pOut, cbOut, &cb, &ovl);
    if (!fDone && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ovl.hEvent, kControlWaitMs) != WAIT_OBJECT_0) {
            CloseHandle(*phFile);
            *phFile = nullptr;
            while (!HasOverlappedIoCompleted(&ovl))
                WaitForSingleObject(ovl.hEvent, kControlWaitMs);
        }
        cb = static_cast<DWORD>(ovl.InternalHigh);
        fDone = ovl.Internal == 0;  // STATUS_SUCCESS
    }
    CloseHandle(ovl.hEvent);
    if (pcbReturned != nullptr) *pcbReturned = fDone ? cb : 0;
    return fDone;
}

LONG GetUSBPipeNumber(PortStream* pStream, HardwareInstance* pInstance) {
    switch (StreamIndex(pStream, pInstance)) {
        case kStreamOutA:
            return kPipeOutA;
        case kStreamOutB:
            return kPipeOutB;
        case kStreamIn:
            return kPipeIn;
        default:  // not a stream of this instance
            return -1;
    }
}

BOOL VerifyHwPort(HardwareInstance* pInstance) {
    if (pInstance->hDevice == nullptr) return 0;
    BYTE abDescriptor[kUsbDeviceDescriptorBytes] = {};
    pInstance->dwBytesReturned = 0;
    DeviceRequest(&pInstance->hDevice, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, abDescriptor,
                  sizeof abDescriptor, &pInstance->dwBytesReturned);
    WORD wVendor = static_cast<WORD>(abDescriptor[kUsbDescVendorOffset] |
                                     (abDescriptor[kUsbDescVendorOffset + 1] << 8));
    WORD wProduct = static_cast<WORD>(abDescriptor[kUsbDescProductOffset] |
                                      (abDescriptor[kUsbDescProductOffset + 1] << 8));
    return pInstance->dwBytesReturned == kUsbDeviceDescriptorBytes &&
           wVendor == kExpectedVendorId && wProduct == kExpectedProductId;
}

static DWORD AcquireLocked(HardwareInstance* pInstance) {
    if (pInstance->cAcquire != 0) {
        pInstance->cAcquire++;
        return MMSYSERR_NOERROR;
    }
    HANDLE hFile = OpenDeviceFile(pInstance);
    if (hFile == INVALID_HANDLE_VALUE) return MMSYSERR_ERROR;
    pInstance->hDevice = hFile;
    DWORD dwResult = MMSYSERR_ERROR;
    if (VerifyHwPort(pInstance)) {
        // The process counts in the system-wide counter with its record, so
        // that its count goes should it die holding the interface.
        DWORD dwBit = 1u << pInstance->dwDevNode;
        LONG cBefore = -1;
        CriticalSection(kCsEnter, pInstance);
        HolderRecord* pHolder = HolderOfProcess(TRUE);
        if (pHolder != nullptr && !(pHolder->dwAcquired & dwBit)) {
            pHolder->dwAcquired |= dwBit;
            cBefore =
                InterlockedIncrement(&SharedDataOfSystem()->cNtAcquire[pInstance->dwDevNode]) - 1;
        }
        CriticalSection(kCsLeave, pInstance);
        if (pHolder == nullptr) {
            dwResult = MMSYSERR_NOMEM;  // every record is a live process's
        } else {
            pInstance->cAcquire = 1;
            // The first process in the system to hold the interface tells
            // the kernel side.
            if (cBefore == 0 && pInstance->hDevice != nullptr)
                DeviceRequest(&pInstance->hDevice, IOCTL_FIRST_ACQUIRE, nullptr, 0, nullptr, 0,
                              nullptr);
            dwResult = MMSYSERR_NOERROR;
        }
    }
    if (pInstance->hDevice != nullptr) CloseHandle(pInstance->hDevice);
    pInstance->hDevice = nullptr;
    return dwResult;
}

DWORD AcquireHwPort(HardwareInstance* pInstance) {
    // What processes that died held is given back first: this process then
    // counts where they no longer do.
    ReclaimDeadHolders();
    EnterCriticalSection(&pInstance->csControl);
    DWORD dwResult = AcquireLocked(pInstance);
    LeaveCriticalSection(&pInstance->csControl);
    return dwResult;
}

DWORD ReleaseHwPort(HardwareInstance* pInstance) {
    EnterCriticalSection(&pInstance->csControl);
    if (pInstance->cAcquire > 0 && --pInstance->cAcquire == 0) {
        DWORD dwBit = 1u << pInstance->dwDevNode;
        CriticalSection(kCsEnter, pInstance);
        HolderRecord* pHolder = HolderOfProcess(FALSE);
        if (pHolder != nullptr && (pHolder->dwAcquired & dwBit)) {
            pHolder->dwAcquired &= ~dwBit;
            LONG volatile* pcNt = &SharedDataOfSystem()->cNtAcquire[pInstance->dwDevNode];
            if (*pcNt > 0) InterlockedDecrement(pcNt);
        }
        ForgetHolderIfIdle();
        CriticalSection(kCsLeave, pInstance);
    }
    LeaveCriticalSection(&pInstance->csControl);
    return 1;
}

void CloseFinishedStreamHandles(PortStream* pStream, BOOL fAll) {
    if (pStream->hStream == nullptr && pStream->hStreamEvent == nullptr) return;
    // Until its start request completes, the handle carries the stream
    // (possibly for other processes) and stays.
    if (!fAll && !HasOverlappedIoCompleted(&pStream->ovlStart)) return;
    // Closing the handle cancels a request still pending; the cancel writes
    // the request's record once more, which is waited for.
    if (pStream->hStream != nullptr) CloseHandle(pStream->hStream);
    if (pStream->hStreamEvent != nullptr) {
        while (!HasOverlappedIoCompleted(&pStream->ovlStart))
            WaitForSingleObject(pStream->hStreamEvent, kControlWaitMs);
        CloseHandle(pStream->hStreamEvent);
    }
    pStream->hStream = nullptr;
    pStream->hStreamEvent = nullptr;
    pStream->dwCookie = 0;
}

// Raises the stream's open count: both locks, so readers may hold either.
static void ChangeOpenCount(PortStream* pStream, HardwareInstance* pInstance, LONG lDelta) {
    CriticalSection(kCsEnter, pInstance);
    pStream->cOpen += lDelta;
    CriticalSection(kCsLeave, pInstance);
}

// The first client of this process on an output port, or a stream started
// again: what running status the port's receiver last got from this process
// is unknown (the block may be set up afresh, other processes may have
// written since, or the interface behind it is a new one).
static void ForgetLastStatus(PortStream* pStream, HardwareInstance* pInstance) {
    UINT iStream = StreamIndex(pStream, pInstance);
    if (iStream == kStreamOutA || iStream == kStreamOutB) {
        pInstance->abLastStatus[iStream - kStreamOutA] = 0;
        pInstance->afSysexOpen[iStream - kStreamOutA] = 0;
    }
}

// Under the named mutex: the number by which marks name this process, its
// record made if need be; 0 when every record is taken (nothing is marked).
static DWORD MarkOfProcess() {
    return HolderOfProcess(TRUE) != nullptr ? HolderNumberOfProcess() : 0;
}

// Issues the start request that makes the stream's block a live ring, on a
// device handle of its own that carries the stream from then on. With
// fVerify the interface is first asked whether it is the one the driver
// takes. Answers 0; MMSYSERR_NODRIVER when the device file does not open or
// another device answers; MMSYSERR_ERROR when the request did not stay
// pending with a cookie in the block. Under the control lock.
static DWORD IssueStart(PortStream* pStream, HardwareInstance* pInstance, BOOL fVerify) {
    HANDLE hFile = OpenDeviceFile(pInstance);
    if (hFile == INVALID_HANDLE_VALUE) return MMSYSERR_NODRIVER;
    if (fVerify) {
        pInstance->hDevice = hFile;
        BOOL fOurs = VerifyHwPort(pInstance);
        hFile = pInstance->hDevice;  // null when the request was cancelled
        pInstance->hDevice = nullptr;
        if (!fOurs || hFile == nullptr) {
            if (hFile != nullptr) CloseHandle(hFile);
            return fOurs ? MMSYSERR_ERROR : MMSYSERR_NODRIVER;
        }
    }
    HANDLE hEvent = NewRequestEvent();
    if (hEvent == nullptr) {
        CloseHandle(hFile);
        return MMSYSERR_ERROR;
    }
    // A request this process issued earlier and that has ended since may still
    // hold its handles: they go before the new ones take their place.
    CloseFinishedStreamHandles(pStream, TRUE);
    pStream->hStream = hFile;
    pStream->hStreamEvent = hEvent;
    OVERLAPPED ovl = {};
    ovl.hEvent = hEvent;
    pStream->ovlStart = ovl;

    LONG lPipe = GetUSBPipeNumber(pStream, pInstance);
    StreamStartRequest req = {static_cast<DWORD>(lPipe), kFifoWords, 0};
    pInstance->dwBytesReturned = 0;
    BOOL fPending = FALSE;
    // A pipe still busy with a stream that is ending (its carrier has just
    // died or been stopped, and the kernel side has not yet caught up) is
    // asked again for a while.
    DWORD dwFirstTry = GetTickCount();
    while (lPipe != -1) {
        BOOL fDone =
            DeviceIoControl(pStream->hStream, IOCTL_START_STREAM, &req, sizeof req, pStream->pFifo,
                            kFifoBlockBytes, &pInstance->dwBytesReturned, &pStream->ovlStart);
        fPending = !fDone && GetLastError() == ERROR_IO_PENDING;
        if (fDone || GetLastError() != ERROR_BUSY || GetTickCount() - dwFirstTry >= kControlWaitMs)
            break;
        Sleep(1);
    }
    DWORD dwMagic = pStream->pFifo->dwMagic;
    if (fPending && dwMagic != MIDI_FIFO_MAGIC && dwMagic != 0) {
        pStream->dwCookie = dwMagic;
        InterlockedIncrement(&pStream->cStarts);
        return MMSYSERR_NOERROR;
    }
    // Not pending with a cookie: a failed start. Closing the handle also ends
    // a request that is somehow still pending.
    CloseFinishedStreamHandles(pStream, TRUE);
    return MMSYSERR_ERROR;
}

// Under the control lock, without the named mutex: the start this process
// marked is over; it carries the stream when it started.
static void SettleStart(PortStream* pStream, HardwareInstance* pInstance, BOOL fStarted) {
    CriticalSection(kCsEnter, pInstance);
    BlockMarks* pMarks = MarksOfBlock(pStream, pInstance);
    DWORD dwSelf = HolderNumberOfProcess();
    if (pMarks != nullptr && dwSelf != 0) {
        if (pMarks->dwStarting == dwSelf) pMarks->dwStarting = 0;
        if (fStarted) pMarks->dwCarrier = dwSelf;
    }
    ForgetHolderIfIdle();
    CriticalSection(kCsLeave, pInstance);
}

// Waits until the stream that carries dwCookie on pFifo has ended: the start
// request of this process that carries it completes or, when another process
// carries it, the kernel side writes the block's word 0 afresh.
static void AwaitStreamEnd(PortStream* pStream, MidiFifo* pFifo, DWORD dwCookie) {
    if (pStream->hStreamEvent != nullptr && pStream->dwCookie == dwCookie) {
        WaitForSingleObject(pStream->hStreamEvent, kStreamEndWaitMs);
        return;
    }
    DWORD dwStart = GetTickCount();
    while (pFifo->dwMagic == dwCookie && GetTickCount() - dwStart < kStreamEndWaitMs)
        Sleep(1);
}

// Asks the kernel side to end the stream that carries dwCookie on pFifo
// (after sending what the ring holds) and waits for it. Without the locks.
static void EndStreamOfCookie(PortStream* pStream, HardwareInstance* pInstance, MidiFifo* pFifo,
                              DWORD dwCookie) {
    HANDLE hFile = OpenDeviceFile(pInstance);
    if (hFile != INVALID_HANDLE_VALUE) {
        DeviceRequest(&hFile, IOCTL_STOP_STREAM, &dwCookie, sizeof dwCookie, nullptr, 0, nullptr);
        if (hFile != nullptr) CloseHandle(hFile);
    }
    AwaitStreamEnd(pStream, pFifo, dwCookie);
}

// Under the named mutex, for a stream that is about to take its block: a
// stream that may still run on a block that nobody holds, because the
// process that carries it left the block while others used it and they are
// gone too. Answers its cookie, 0 when there is none.
static DWORD OrphanCookie(PortStream* pStream, HardwareInstance* pInstance, BlockMarks* pMarks) {
    if (pMarks == nullptr || pMarks->dwCarrier == 0) return 0;
    MidiFifo* pFifo = BlockOfStream(pStream, pInstance);
    if (pFifo->cRef != 0) return 0;  // its holders are in charge of it
    DWORD dwMagic = pFifo->dwMagic;
    if (dwMagic != 0 && dwMagic != MIDI_FIFO_MAGIC) return dwMagic;
    pMarks->dwCarrier = 0;  // the kernel side said that it ended
    return 0;
}

// Ends the orphan stream marked stopping by this process, before its block
// is set up afresh under it.
static void EndOrphanStream(PortStream* pStream, HardwareInstance* pInstance, DWORD dwCookie) {
    MidiFifo* pFifo = BlockOfStream(pStream, pInstance);
    EndStreamOfCookie(pStream, pInstance, pFifo, dwCookie);
    CloseFinishedStreamHandles(pStream, pStream->dwCookie == dwCookie);
    CriticalSection(kCsEnter, pInstance);
    BlockMarks* pMarks = MarksOfBlock(pStream, pInstance);
    pMarks->dwStopping = 0;
    pMarks->dwCarrier = 0;  // over, or given up on
    ForgetHolderIfIdle();
    CriticalSection(kCsLeave, pInstance);
}

// Takes the stream's block for this process, after any stop of its stream
// that is under way, here or in another process, has ended: until then the
// block is neither joined nor set up afresh. The control lock is given up
// while it waits. Answers the block's user count afterwards; 0 when the
// stream is already open in this process (and was joined: cOpen raised),
// when a stop in this process outlasted the wait, or when no holder record
// is free. A block taken afresh (count 1) is marked as being started by
// this process.
static DWORD TakeBlock(PortStream* pStream, HardwareInstance* pInstance, BOOL* pfJoined) {
    DWORD dwStart = GetTickCount();
    DWORD dwChecked = dwStart;
    for (;;) {
        if (pStream->cOpen != 0) {
            ChangeOpenCount(pStream, pInstance, 1);
            *pfJoined = TRUE;
            return 0;
        }
        BOOL fWaitedLongest = GetTickCount() - dwStart > kStopUnderWayWaitMs;
        if (!pStream->fStopping) {
            DWORD cRef = 0;
            DWORD dwOrphan = 0;
            BOOL fRefused = FALSE;
            CriticalSection(kCsEnter, pInstance);
            BlockMarks* pMarks = MarksOfBlock(pStream, pInstance);
            // A live process's stop that outlasted every bound is given up on.
            if (pMarks != nullptr && fWaitedLongest) pMarks->dwStopping = 0;
            if (pMarks == nullptr || pMarks->dwStopping == 0) {
                dwOrphan = OrphanCookie(pStream, pInstance, pMarks);
                if (dwOrphan != 0) {
                    pMarks->dwStopping = MarkOfProcess();
                } else if (!AllocateFIFO(pStream, pInstance)) {
                    fRefused = TRUE;
                } else {
                    cRef = pStream->pFifo->cRef;
                    if (cRef > 1) {
                        // Another process streams this block: this process joins it.
                        ForgetLastStatus(pStream, pInstance);
                        pStream->cOpen = 1;
                    } else if (pMarks != nullptr) {
                        pMarks->dwStarting = MarkOfProcess();
                    }
                }
            }
            CriticalSection(kCsLeave, pInstance);
            if (dwOrphan != 0) {
                EndOrphanStream(pStream, pInstance, dwOrphan);
                continue;
            }
            if (cRef != 0 || fRefused) return cRef;
        }
        if (fWaitedLongest) return 0;
        LeaveCriticalSection(&pInstance->csControl);
        // A stop that takes long may be that of a process that died.
        if (GetTickCount() - dwChecked >= kStopperCheckMs) {
            ReclaimDeadHolders();
            dwChecked = GetTickCount();
        }
        Sleep(1);
        EnterCriticalSection(&pInstance->csControl);
    }
}

static BOOL StartLocked(PortStream* pStream, HardwareInstance* pInstance) {
    BOOL fJoined = FALSE;
    DWORD cRef = TakeBlock(pStream, pInstance, &fJoined);
    if (fJoined) return 1;
    if (cRef == 0) return 0;
    if (cRef > 1) {
        // Joined another process's stream: a request this process issued
        // earlier and that has ended since gives its handles back.
        CloseFinishedStreamHandles(pStream, FALSE);
        return 1;
    }
    DWORD dwResult = IssueStart(pStream, pInstance, FALSE);
    SettleStart(pStream, pInstance, dwResult == MMSYSERR_NOERROR);
    if (dwResult == MMSYSERR_NOERROR) {
        ForgetLastStatus(pStream, pInstance);
        ChangeOpenCount(pStream, pInstance, 1);
        return 1;
    }
    FreeFIFO(pStream, pInstance);
    return 0;
}

BOOL StartHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance) {
    if (!pInstance->fEnabled) return 0;
    // Who holds the shared blocks is looked at again before one is taken.
    if (MarksOfBlock(pStream, pInstance) != nullptr) ReclaimDeadHolders();
    EnterCriticalSection(&pInstance->csControl);
    BOOL fStarted = StartLocked(pStream, pInstance);
    LeaveCriticalSection(&pInstance->csControl);
    return fStarted;
}

DWORD RestartHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance, BOOL fWait) {
    if (fWait) {
        EnterCriticalSection(&pInstance->csControl);
    } else if (!TryEnterCriticalSection(&pInstance->csControl)) {
        return MMSYSERR_NOERROR;
    }
    DWORD dwResult = MMSYSERR_NOERROR;
    BOOL fStart = FALSE;
    CriticalSection(kCsEnter, pInstance);
    BlockMarks* pMarks = MarksOfBlock(pStream, pInstance);
    if (pStream->cOpen == 0 || pStream->fStopping || pStream->pFifo == nullptr) {
        dwResult = MMSYSERR_ERROR;
    } else if (pStream->pFifo->dwMagic == MIDI_FIFO_MAGIC &&
               (pMarks == nullptr || (pMarks->dwStarting == 0 && pMarks->dwStopping == 0))) {
        // Ended, and nobody else is starting or stopping it: this process
        // starts it.
        fStart = TRUE;
        if (pMarks != nullptr) pMarks->dwStarting = MarkOfProcess();
    }
    CriticalSection(kCsLeave, pInstance);
    if (fStart) {
        dwResult = IssueStart(pStream, pInstance, TRUE);
        SettleStart(pStream, pInstance, dwResult == MMSYSERR_NOERROR);
    }
    LeaveCriticalSection(&pInstance->csControl);
    return dwResult;
}

BOOL StopHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance) {
    EnterCriticalSection(&pInstance->csControl);
    if (pStream->cOpen == 0) {
        LeaveCriticalSection(&pInstance->csControl);
        return 0;
    }
    // Not the last client of this process, or a disabled instance: only
    // counted (a disabled instance keeps its block until it is removed).
    if (pStream->cOpen > 1 || !pInstance->fEnabled) {
        ChangeOpenCount(pStream, pInstance, -1);
        LeaveCriticalSection(&pInstance->csControl);
        return 1;
    }
    // Whether other processes still use the block, and marking its stream as
    // stopping when none does, is one step under the named mutex: two
    // processes leaving at once must not both leave it running, and no
    // process may join or set up a block whose stream is ending.
    CriticalSection(kCsEnter, pInstance);
    pStream->cOpen = 0;
    BlockMarks* pMarks = MarksOfBlock(pStream, pInstance);
    MidiFifo* pFifo = pStream->pFifo;
    DWORD dwCookie = 0;
    BOOL fLeft = pFifo == nullptr || pFifo->cRef > 1;
    BOOL fUnsent = FALSE;
    if (fLeft) {
        // The stream runs on for the others; a start request this process
        // carries stays pending on its handle.
        FreeFIFO(pStream, pInstance);
    } else {
        dwCookie = pFifo->dwMagic;
        fUnsent = pMarks != nullptr && dwCookie == MIDI_FIFO_MAGIC && FifoPacketWaiting(pFifo);
        if (pMarks != nullptr) pMarks->dwStopping = MarkOfProcess();
        pStream->fStopping = 1;
    }
    CriticalSection(kCsLeave, pInstance);
    // The stream ended under packets still in the ring (its carrier died):
    // it is started once more so that they go out before it stops.
    if (fUnsent && IssueStart(pStream, pInstance, TRUE) == MMSYSERR_NOERROR)
        dwCookie = pStream->dwCookie;
    LeaveCriticalSection(&pInstance->csControl);
    if (fLeft) return 1;

    // The kernel side is asked and waited for without the locks: the ring is
    // sent first, and other streams of the instance go on meanwhile.
    if (dwCookie != 0 && dwCookie != MIDI_FIFO_MAGIC)
        EndStreamOfCookie(pStream, pInstance, pFifo, dwCookie);

    EnterCriticalSection(&pInstance->csControl);
    CriticalSection(kCsEnter, pInstance);
    if (pMarks != nullptr) {
        if (pMarks->dwStopping == HolderNumberOfProcess()) pMarks->dwStopping = 0;
        // Ended, or asked to end: nobody is to chase it again.
        pMarks->dwCarrier = 0;
    }
    FreeFIFO(pStream, pInstance);
    CriticalSection(kCsLeave, pInstance);
    CloseFinishedStreamHandles(pStream, TRUE);
    pStream->fStopping = 0;
    LeaveCriticalSection(&pInstance->csControl);
    return 1;
}
