#pragma once
// The WAV recorder: a sound system that writes everything played, in the
// order it is played, into one WAV file for the whole run.
//
// The target is opened (created or emptied) when the backend is created, and
// a header for an empty recording of the tone format (44100 Hz, 2 channels,
// 16-bit PCM) is written at once, so a run that fails before its first tone
// still leaves a valid WAV with no data. A target that cannot be created or
// written is reported there (EFOpenError with the path and the system's
// reason).
//
// Targets that can seek (regular files, block devices): the first open may
// still change the format while nothing is recorded; it is fixed from then
// on (an open or query in another format is refused with WAVERR_BADFORMAT,
// ErrorText naming both formats). Buffers are appended the moment they are
// written (unpaced), whole frames only (a trailing part of a frame is not
// played, as on every output), so the data are whole frames wherever the
// recording stops; after every device close the header's sizes are brought
// up to date, so after a failure, or a kill at any moment, the file is a
// valid WAV whose header lags its data by at most the tone that was playing.
// Layout: "RIFF" size "WAVE", a 28-byte "JUNK" chunk that reserves room,
// "fmt " (16 bytes for PCM, 18 for float), "data" size, the data (80 bytes
// of header for PCM). An odd data size is followed by a pad byte counted in
// the RIFF size. When the recording passes what a RIFF header can describe
// (4 GiB) it goes on as RF64: "RF64", the JUNK chunk becomes "ds64" with the
// 64-bit sizes, and both 32-bit sizes read 0xFFFFFFFF.
//
// Targets that cannot seek (pipes, FIFOs, terminals, other character
// devices): the header is written once, with the format fixed at the tone
// format and sizes that say "unknown" (data 0x7FFFF000, RIFF that plus 36,
// as SoX writes to a pipe), then the data streams after it with no limit.
//
// Failures: the first failed write or seek is the result of the device call
// it happened in (its text names the file and the system's reason); what
// was written of that buffer is cut off again (seekable targets); from
// then on the recording is stopped: later tones are accepted and dropped
// without another report, so a full disk is reported once. No fsync: the
// data survives the process, not a power cut.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sound/Backend.h"

namespace tw {

// Where a recording's bytes go: a file descriptor, or a stand-in in tests.
// Each call reports failure with false and errno set.
class WavTarget {
 public:
  virtual ~WavTarget() = default;
  // Whether Seek works: then the header is rewritten in place.
  virtual bool Seekable() const = 0;
  // Writes all Size bytes at the current position.
  virtual bool Write(const void* Data, size_t Size) = 0;
  // Moves the current position to Offset bytes from the start.
  virtual bool Seek(uint64_t Offset) = 0;
  // Cuts what follows the first Size bytes (a seekable target only).
  virtual bool Cut(uint64_t Size) = 0;
};

// Opens (creates) Path for writing; an existing file is emptied by the
// recording's Cut after its first header, so it is a valid WAV all along.
// Raises EFOpenError naming the path and the system's reason when it cannot.
std::unique_ptr<WavTarget> OpenWavFile(const std::string& path);

// Raises EFOpenError naming the path and the system's reason when the target
// cannot be opened or its first header written.
std::unique_ptr<WaveOutBackend> CreateWavWaveOutBackend(const std::string& path);

// Whether Path names the file this process's standard output writes to
// (the program's text then has to go elsewhere). One file per system:
// StandardOutputFile_posix.cpp (device and inode), _windows.cpp (volume and
// file index).
bool IsStandardOutput(const std::string& path);

// For tests: how recordings created from now on open their target (a
// wrapper that fails on purpose, say); an empty function restores
// OpenWavFile.
using WavTargetOpener = std::function<std::unique_ptr<WavTarget>(const std::string& path)>;
void SetWavTargetOpener(WavTargetOpener open);
// For tests: the largest RIFF size a recording created from now on writes
// before it goes on as RF64 (0xFFFFFFFF, the format's own limit, when 0).
void SetWavRiffLimit(uint64_t bytes);

}  // namespace tw
