// The other process of the host's cross-process tests. One command a line on
// stdin, one answer line on stdout:
//   mutex NAME      open the named mutex            -> ok | error E
//   wait MS         WaitForSingleObject on it       -> the result in decimal
//   release         ReleaseMutex                    -> ok | error E
//   map NAME BYTES  map the shared data NAME        -> ok
//   get I / set I V read or write 32-bit word I     -> the value | ok
//   exit            ends the process normally
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "host/os/host.h"
#include "host/os/win32.h"

int main() {
    HANDLE hMutex = nullptr;
    volatile uint32_t* pWords = nullptr;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        std::string answer = "error unknown";
        if (cmd == "exit") {
            break;
        } else if (cmd == "mutex") {
            std::string name;
            in >> name;
            std::u16string wide(name.begin(), name.end());
            hMutex = CreateMutexW(nullptr, FALSE, wide.c_str());
            answer = hMutex ? "ok" : "error " + std::to_string(GetLastError());
        } else if (cmd == "wait") {
            unsigned ms = 0;
            in >> ms;
            answer = std::to_string(WaitForSingleObject(hMutex, ms));
        } else if (cmd == "release") {
            answer = ReleaseMutex(hMutex) ? "ok" : "error " + std::to_string(GetLastError());
        } else if (cmd == "map") {
            std::string name;
            size_t cb = 0;
            in >> name >> cb;
            pWords = static_cast<volatile uint32_t*>(VtHostMapShared(name.c_str(), cb));
            answer = pWords ? "ok" : "error map";
        } else if (cmd == "get" && pWords) {
            size_t i = 0;
            in >> i;
            answer = std::to_string(pWords[i]);
        } else if (cmd == "set" && pWords) {
            size_t i = 0;
            uint32_t v = 0;
            in >> i >> v;
            pWords[i] = v;
            answer = "ok";
        }
        std::cout << answer << std::endl;
    }
    return 0;
}
