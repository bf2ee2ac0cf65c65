// Who holds what of the shared data. Every process that counts in an output
// block's cRef or in an interface's cNtAcquire has a record in the shared
// data with its process id and creation time; the marks of a block (a stop,
// a start, long data under way, the stream's carrier) name processes by their
// record. A process that dies without giving back what it held leaves its
// record behind: the next process that takes a block, acquires an interface
// or finds the named mutex abandoned removes the records of processes that
// no longer run, clears the marks that named them, and counts every cRef and
// cNtAcquire again from the records that remain. The same id and creation
// time identify a process on Windows and here, where the host answers
// OpenProcess and GetProcessTimes from what the system says of its processes.
#include "hwlink/hwlink.h"

// The process's number in its record (index + 1), 0 none. The named mutex.
static DWORD gdwHolder = 0;

// The id and creation time of this process, found once (again after a fork).
// A creation time that cannot be read stays 0, which others take as "running
// while the id runs".
struct ProcessIdentity {
    DWORD dwId;
    FILETIME ftCreated;
};

static BOOL CreationTimeOf(HANDLE hProcess, FILETIME* pft) {
    FILETIME ftExit, ftKernel, ftUser;
    return GetProcessTimes(hProcess, pft, &ftExit, &ftKernel, &ftUser);
}

static ProcessIdentity SelfIdentity() {
    static ProcessIdentity self =
        {};  // written before use by one thread at a time: the named mutex
    DWORD dwId = GetCurrentProcessId();
    if (self.dwId != dwId) {
        ProcessIdentity fresh = {dwId, {0, 0}};
        HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwId);
        if (h != nullptr) {
            if (!CreationTimeOf(h, &fresh.ftCreated)) fresh.ftCreated = FILETIME{0, 0};
            CloseHandle(h);
        }
        self = fresh;
    }
    return self;
}

static BOOL IsSelf(const HolderRecord& r, const ProcessIdentity& self) {
    return r.dwProcessId == self.dwId && r.dwCreatedLow == self.ftCreated.dwLowDateTime &&
           r.dwCreatedHigh == self.ftCreated.dwHighDateTime;
}

// Whether the process a record names still runs. One that cannot be looked
// at (another user's, say) counts as running: nothing of a live process is
// ever taken.
static BOOL HolderLives(const HolderRecord& r) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, r.dwProcessId);
    if (h == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
    FILETIME ft = {0, 0};
    BOOL fLives = WaitForSingleObject(h, 0) != WAIT_OBJECT_0;
    if (fLives && (r.dwCreatedLow != 0 || r.dwCreatedHigh != 0) && CreationTimeOf(h, &ft))
        fLives = ft.dwLowDateTime == r.dwCreatedLow && ft.dwHighDateTime == r.dwCreatedHigh;
    CloseHandle(h);
    return fLives;
}

static BOOL SameHolder(const HolderRecord& a, const HolderRecord& b) {
    return a.dwProcessId == b.dwProcessId && a.dwCreatedLow == b.dwCreatedLow &&
           a.dwCreatedHigh == b.dwCreatedHigh;
}

static BOOL MarksName(const SharedData* pShared, DWORD dwHolder) {
    for (const auto& region : pShared->aMarks)
        for (const BlockMarks& m : region)
            if (m.dwStopping == dwHolder || m.dwStarting == dwHolder || m.dwCarrier == dwHolder ||
                m.dwLongData == dwHolder)
                return TRUE;
    return FALSE;
}

HolderRecord* HolderOfProcess(BOOL fMake) {
    SharedData* pShared = SharedDataOfSystem();
    ProcessIdentity self = SelfIdentity();
    if (gdwHolder != 0 && IsSelf(pShared->aHolders[gdwHolder - 1], self))
        return &pShared->aHolders[gdwHolder - 1];
    gdwHolder = 0;
    HolderRecord* pFree = nullptr;
    for (DWORD i = 0; i < kHolderRecords; ++i) {
        HolderRecord& r = pShared->aHolders[i];
        if (IsSelf(r, self)) {
            gdwHolder = i + 1;
            return &r;
        }
        if (r.dwProcessId == 0 && pFree == nullptr) pFree = &r;
    }
    if (!fMake || pFree == nullptr) return nullptr;
    *pFree =
        HolderRecord{self.dwId, self.ftCreated.dwLowDateTime, self.ftCreated.dwHighDateTime, 0, 0};
    gdwHolder = static_cast<DWORD>(pFree - pShared->aHolders) + 1;
    return pFree;
}

DWORD HolderNumberOfProcess() {
    return HolderOfProcess(FALSE) != nullptr ? gdwHolder : 0;
}

void ForgetHolderIfIdle() {
    HolderRecord* pHolder = HolderOfProcess(FALSE);
    if (pHolder == nullptr || pHolder->dwAcquired != 0 || pHolder->dwBlocks != 0 ||
        MarksName(SharedDataOfSystem(), gdwHolder))
        return;
    *pHolder = HolderRecord{};
    gdwHolder = 0;
}

// Under the named mutex: removes the records of aSeen flagged in afDead that
// still name the same processes, clears the marks that named them and counts
// cRef and cNtAcquire again from the records left.
static void RemoveHolders(const HolderRecord* aSeen, const BOOL* afDead) {
    SharedData* pShared = SharedDataOfSystem();
    BOOL fRemoved = FALSE;
    for (DWORD i = 0; i < kHolderRecords; ++i) {
        HolderRecord& r = pShared->aHolders[i];
        if (!afDead[i] || r.dwProcessId == 0 || !SameHolder(r, aSeen[i])) continue;
        DWORD dwHolder = i + 1;
        for (auto& region : pShared->aMarks) {
            for (BlockMarks& m : region) {
                if (m.dwStopping == dwHolder) m.dwStopping = 0;
                if (m.dwStarting == dwHolder) m.dwStarting = 0;
                // Its requests ended with it: the kernel side ends a stream
                // whose carrying handle closes.
                if (m.dwCarrier == dwHolder) m.dwCarrier = 0;
                if (m.dwLongData == dwHolder) m.dwLongData = 0;
            }
        }
        r = HolderRecord{};
        fRemoved = TRUE;
    }
    if (!fRemoved) return;
    DWORD* apRegions[2] = {pShared->adwOut1MidiFifo, pShared->adwOut2MidiFifo};
    for (DWORD region = 0; region < 2; ++region) {
        for (DWORD node = 0; node < kDevNodes; ++node) {
            DWORD dwBit = 1u << (region * kDevNodes + node);
            DWORD cRef = 0;
            for (const HolderRecord& r : pShared->aHolders)
                cRef += (r.dwBlocks & dwBit) != 0;
            FifoBlock(apRegions[region], node)->cRef = cRef;
        }
    }
    for (DWORD node = 0; node < kDevNodes; ++node) {
        LONG c = 0;
        for (const HolderRecord& r : pShared->aHolders)
            c += (r.dwAcquired & (1u << node)) != 0;
        InterlockedExchange(&pShared->cNtAcquire[node], c);
    }
}

void ReclaimDeadHolders() {
    SharedData* pShared = SharedDataOfSystem();
    HolderRecord aSeen[kHolderRecords];
    // The processes are looked at without the lock: a dead process stays
    // dead, and a record that changed meanwhile is left alone.
    CriticalSection(kCsEnter, nullptr);
    ProcessIdentity self = SelfIdentity();
    for (DWORD i = 0; i < kHolderRecords; ++i)
        aSeen[i] = pShared->aHolders[i];
    CriticalSection(kCsLeave, nullptr);
    BOOL afDead[kHolderRecords] = {};
    BOOL fAnyDead = FALSE;
    for (DWORD i = 0; i < kHolderRecords; ++i) {
        if (aSeen[i].dwProcessId == 0 || IsSelf(aSeen[i], self) || HolderLives(aSeen[i])) continue;
        afDead[i] = TRUE;
        fAnyDead = TRUE;
    }
    if (!fAnyDead) return;
    CriticalSection(kCsEnter, nullptr);
    RemoveHolders(aSeen, afDead);
    CriticalSection(kCsLeave, nullptr);
}

void ReclaimDeadHoldersLocked() {
    SharedData* pShared = SharedDataOfSystem();
    ProcessIdentity self = SelfIdentity();
    BOOL afDead[kHolderRecords] = {};
    for (DWORD i = 0; i < kHolderRecords; ++i) {
        const HolderRecord& r = pShared->aHolders[i];
        afDead[i] = r.dwProcessId != 0 && !IsSelf(r, self) && !HolderLives(r);
    }
    RemoveHolders(pShared->aHolders, afDead);
}
