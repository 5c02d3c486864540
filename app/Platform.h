#pragma once
// The services the program takes from the machine it runs on, in one place so that a test
// can put doubles in their stead. A default-constructed struct is the real machine: every
// empty member stands for the real service.

#include <functional>
#include <memory>

namespace vsp {

class TVSPort;

struct TPlatform {
    // The virtual port backend the main window drives; empty: the pty backend.
    std::function<std::unique_ptr<TVSPort>()> MakePort;
};

} // namespace vsp
