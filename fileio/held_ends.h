#pragma once

namespace aster {

// While one is alive, a signal that would end the process at once (SIGINT, SIGTERM or
// SIGHUP by their default action, or a front end's second Ctrl+C, which its own handler
// turns into that) ends it only when the last one goes: the renames that put an output's
// several files in place are never cut in half. A stop signal is still handed to the
// handler the process had, as it comes. Works through the signals' actions, which every
// copy of this code in the process shares, so a module with its own copy holds them too.
class HoldEnds {
  public:
    HoldEnds();
    HoldEnds(const HoldEnds&) = delete;
    HoldEnds& operator=(const HoldEnds&) = delete;
    ~HoldEnds();
};

} // namespace aster
