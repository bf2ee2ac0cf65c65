// A second application for the output tests: loads the driver library as the
// multimedia layer does and sends on command, one command a line on stdin,
// one answer a line on stdout.
//
//   open ID          -> the MODM_OPEN result (GETNUMDEVS runs first)
//   notes ID CH N    -> sends N note-ons 9CH 3C vv, vv = i % 128, each
//                       offered again while the ring is full; answers
//                       "sent N" or "failed I R" at the first other result
//   close            -> the MODM_CLOSE result
//   quit             -> exits
#include <dlfcn.h>
#include <sched.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "host/os/win32.h"

namespace {

typedef LRESULT (*DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
typedef DWORD (*MessageFn)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

}  // namespace

int main() {
    void* lib = dlopen(VT_DRIVER_LIB, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::printf("error %s\n", dlerror());
        return 1;
    }
    auto driverProc = reinterpret_cast<DriverProcFn>(dlsym(lib, "DriverProc"));
    auto modMessage = reinterpret_cast<MessageFn>(dlsym(lib, "modMessage"));
    if (driverProc == nullptr || modMessage == nullptr) {
        std::printf("error missing entry point\n");
        return 1;
    }
    driverProc(0, nullptr, DRV_LOAD, 0, 0);
    driverProc(0, nullptr, DRV_ENABLE, 0, 0);
    driverProc(0, nullptr, DRV_OPEN, 0, 0);
    std::printf("ready\n");
    std::fflush(stdout);

    UINT uOpenId = 0;
    DWORD_PTR dwUser = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        std::string answer;
        if (cmd == "open") {
            in >> uOpenId;
            modMessage(0, MODM_GETNUMDEVS, 0, 0, 0);
            MIDIOPENDESC desc{};
            answer =
                std::to_string(modMessage(uOpenId, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&dwUser),
                                          reinterpret_cast<DWORD_PTR>(&desc), 0));
        } else if (cmd == "notes") {
            UINT id = 0, ch = 0, count = 0;
            in >> id >> ch >> count;
            answer = "sent " + std::to_string(count);
            for (UINT i = 0; i < count; ++i) {
                DWORD dwMsg = (0x90 | ch) | (0x3C << 8) | ((i % 128) << 16);
                DWORD r;
                while ((r = modMessage(id, MODM_DATA, dwUser, dwMsg, 0)) == MIDIERR_NOTREADY) {
                    sched_yield();  // ring full: the consumer needs a moment
                }
                if (r != 0) {
                    answer = "failed " + std::to_string(i) + " " + std::to_string(r);
                    break;
                }
            }
        } else if (cmd == "close") {
            answer = std::to_string(modMessage(uOpenId, MODM_CLOSE, dwUser, 0, 0));
        } else if (cmd == "quit") {
            break;
        } else {
            answer = "error unknown command";
        }
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    driverProc(0, nullptr, DRV_CLOSE, 0, 0);
    driverProc(0, nullptr, DRV_DISABLE, 0, 0);
    driverProc(0, nullptr, DRV_FREE, 0, 0);
    return 0;
}
