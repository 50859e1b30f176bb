#pragma once

namespace aster {

// A write to a closed pipe or past the file size limit then fails with an error the tool
// reports, instead of ending the process before it can say which file was concerned.
// Both programs call it first thing.
void IgnoreWriteSignals();

} // namespace aster
