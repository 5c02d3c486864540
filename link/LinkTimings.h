#pragma once
// How long the data link waits for what. The program's values; a test makes them small.

#include "link/PeerWatch.h"

namespace vsp {

struct TLinkTimings {
    // How a data connection (the client's, or the one accepted in server mode) finds its
    // module gone without a word.
    TPeerWatch PeerWatch;
    // Client mode, while the link is wanted and down: the first attempt comes this long
    // after the loss, each further one twice as long after the one before...
    int ReconnectFirstMs = 1000;
    // ... but never longer than this,
    int ReconnectLimitMs = 15000;
    // and this often while the program's bytes wait for the module.
    int ReconnectWithDataMs = 1000;
    // A connection that lasted this long starts the back-off from its first step again.
    int StableLinkMs = 10000;
    // What a program wrote and the link has not carried when it closes the port may still
    // go out this long after the close; then it is dropped.
    int CloseDrainMs = 5000;
};

} // namespace vsp
