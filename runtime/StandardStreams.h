#pragma once
// The program's standard streams as byte streams.

namespace tw {

// Makes standard input, output and error pass bytes unchanged, so the
// program writes the same bytes on every system: lines end in LF (the
// Windows console shows them as it shows CR LF). On Windows the C runtime
// would otherwise write each LF as CR LF; on Linux there is nothing to do.
// Call first thing in main, before anything is written.
void UseBinaryStandardStreams();

}  // namespace tw
