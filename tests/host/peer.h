// The host tests' peer process (peer.cpp), started under this test's root.
#pragma once

#include "tests/support/support.h"

namespace vthosttest {

inline vt::ChildProcess StartPeer() {
    return vt::ChildProcess({vt::BuiltProgram("tests/host/vt_host_peer")});
}

}  // namespace vthosttest
