#include "sound/WavRecorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/PlayableFormats.h"
#include "runtime/Exceptions.h"
#include "sound/KeptDevice.h"
#include "sound/UnpacedStream.h"

namespace tw {
namespace {

constexpr uint64_t kRiffMax = 0xFFFFFFFFull;
// The data size SoX writes into the header of a stream of unknown length;
// SoX then reads to the end of the stream, Python's wave up to 2 GiB.
constexpr uint32_t kUnknownDataSize = 0x7FFFF000u;
// The room reserved after "WAVE" for a ds64 chunk without a table.
constexpr uint32_t kDs64Size = 28;

std::mutex gHooksMutex;
WavTargetOpener gOpener;
uint64_t gRiffLimit = 0;

void PutU16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void PutU32(unsigned char* p, uint32_t v) {
  PutU16(p, v & 0xFFFF);
  PutU16(p + 2, v >> 16);
}

void PutU64(unsigned char* p, uint64_t v) {
  PutU32(p, static_cast<uint32_t>(v));
  PutU32(p + 4, static_cast<uint32_t>(v >> 32));
}

// The format every tone of the program has; an empty recording holds it.
WAVEFORMATEX ToneFormat() {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 2;
  f.nSamplesPerSec = 44100;
  f.wBitsPerSample = 16;
  f.nBlockAlign = 4;
  f.nAvgBytesPerSec = 176400;
  return f;
}

class FileTarget final : public WavTarget {
 public:
  explicit FileTarget(const std::string& path) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      throw EFOpenError("Cannot create the WAV recording \"" + path +
                        "\": " + std::strerror(errno));
    }
    struct stat st {};
    seekable_ = fstat(fd_, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) &&
                lseek(fd_, 0, SEEK_CUR) >= 0;
  }
  FileTarget(const FileTarget&) = delete;
  FileTarget& operator=(const FileTarget&) = delete;
  ~FileTarget() override { close(fd_); }

  bool Seekable() const override { return seekable_; }

  bool Write(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = write(fd_, p, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) {
        errno = ENOSPC;
        return false;
      }
      p += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  bool Seek(uint64_t offset) override {
    return lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
  }

  bool Cut(uint64_t size) override { return ftruncate(fd_, static_cast<off_t>(size)) == 0; }

 private:
  int fd_ = -1;
  bool seekable_ = false;
};

// The target and what has been recorded into it, shared by the backend and
// every stream it opened (a stream may outlive a replaced backend).
class WavRecording {
 public:
  WavRecording(std::string path, std::unique_ptr<WavTarget> target, uint64_t riffLimit)
      : path_(std::move(path)),
        target_(std::move(target)),
        seekable_(target_->Seekable()),
        riffLimit_(riffLimit == 0 ? kRiffMax : riffLimit),
        format_(ToneFormat()),
        formatFixed_(!seekable_) {
    SetLayout();
    // An existing file keeps its old bytes behind the new header until the
    // cut: it is a WAV (of no data) at every moment.
    if (!(seekable_ ? WriteHeader() && CutAfterHeader() : WriteStreamHeader())) {
      throw EFOpenError(failure_);
    }
  }
  WavRecording(const WavRecording&) = delete;
  WavRecording& operator=(const WavRecording&) = delete;
  ~WavRecording() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Data recorded since the last close (a stream never closed).
    if (seekable_ && !failed_ && !headerCurrent_) WriteHeader();
  }

  // Whether a stream of this format may record into the target.
  MMRESULT Check(const WAVEFORMATEX& format) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CheckLocked(format);
  }

  // Fixes the format on the first open, rewriting the empty recording's
  // header when the format differs from the one it was started with.
  MMRESULT Begin(const WAVEFORMATEX& format) {
    std::lock_guard<std::mutex> lock(mutex_);
    const MMRESULT result = CheckLocked(format);
    if (result != MMSYSERR_NOERROR || formatFixed_) return result;
    formatFixed_ = true;
    if (SameWaveFormat(format, format_)) return MMSYSERR_NOERROR;
    format_ = format;
    format_.cbSize = 0;
    SetLayout();
    if (!failed_ && !WriteHeader()) return Failed();
    return MMSYSERR_NOERROR;
  }

  // Appends the header's whole frames, PlayCount times (a trailing part of
  // a frame is not played, as on every output); dropped once stopped. A
  // failed write leaves the recording at its last whole buffer: what was
  // written of the failed one is cut off where the target can be cut, and
  // the header brought up to date.
  MMRESULT Append(const WAVEHDR& header) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return MMSYSERR_NOERROR;
    const uint16_t block = format_.nBlockAlign;  // a packed record: no references into it
    const uint32_t bytes =
        header.dwBufferLength - header.dwBufferLength % std::max<uint16_t>(block, 1);
    const uint32_t count = PlayCount(header);
    if (seekable_ && !rf64_ &&
        dataOffset_ - 8 + dataBytes_ + static_cast<uint64_t>(bytes) * count + 1 > riffLimit_) {
      rf64_ = true;  // the next header update writes the large layout
    }
    headerCurrent_ = false;
    for (uint32_t i = 0; i < count; ++i) {
      if (!WriteData(header.lpData, bytes)) {
        // A pipe's reader went away: the program ends by SIGPIPE (which the
        // run takes like Ctrl-C), as any program in a pipeline; nothing to say.
        if (failureErrno_ == EPIPE) {
          failed_ = true;
          return MMSYSERR_NOERROR;
        }
        const std::string reason = failure_;
        // The file stays a WAV of what was recorded, its header up to date.
        if (seekable_ && target_->Cut(dataOffset_ + dataBytes_)) WriteHeader();
        failure_ = reason;
        return Failed();
      }
      dataBytes_ += bytes;
    }
    return MMSYSERR_NOERROR;
  }

  // Brings the header's sizes up to date: the file is a complete WAV again.
  MMRESULT Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!seekable_ || failed_) return MMSYSERR_NOERROR;
    return WriteHeader() ? MMSYSERR_NOERROR : Failed();
  }

  std::string ErrorText(MMRESULT code) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = texts_.find(code);
    return it == texts_.end() ? std::string() : it->second;
  }

 private:
  MMRESULT CheckLocked(const WAVEFORMATEX& format) {
    if (CheckPlayableFormat(format) != MMSYSERR_NOERROR) {
      return Fail(WAVERR_BADFORMAT, UnplayableFormatText("WAV recorder", format));
    }
    if (formatFixed_ && !SameWaveFormat(format, format_)) {
      return Fail(WAVERR_BADFORMAT, "The WAV recording \"" + path_ + "\" holds " +
                                        DescribeFormat(format_) + "; it cannot also record " +
                                        DescribeFormat(format));
    }
    return MMSYSERR_NOERROR;
  }

  void SetLayout() {
    fmtSize_ = format_.wFormatTag == WAVE_FORMAT_PCM ? 16 : 18;
    // RIFF header, the reserved chunk (files only), "fmt ", the data header.
    dataOffset_ = 12 + (seekable_ ? 8 + kDs64Size : 0) + 8 + fmtSize_ + 8;
  }

  // "fmt " with its size and body at p; returns the bytes written.
  uint32_t PutFormat(unsigned char* p) const {
    std::memcpy(p, "fmt ", 4);
    PutU32(p + 4, fmtSize_);
    PutU16(p + 8, format_.wFormatTag);
    PutU16(p + 10, format_.nChannels);
    PutU32(p + 12, format_.nSamplesPerSec);
    PutU32(p + 16, format_.nAvgBytesPerSec);
    PutU16(p + 20, format_.nBlockAlign);
    PutU16(p + 22, format_.wBitsPerSample);
    if (fmtSize_ == 18) PutU16(p + 24, 0);
    return 8 + fmtSize_;
  }

  // The whole header of a file for the sizes recorded so far, at offset 0,
  // and the pad byte after odd data.
  bool WriteHeader() {
    unsigned char h[96] = {};
    const uint64_t pad = dataBytes_ & 1;
    const uint64_t riffSize = dataOffset_ - 8 + dataBytes_ + pad;
    std::memcpy(h, rf64_ ? "RF64" : "RIFF", 4);
    PutU32(h + 4, rf64_ ? 0xFFFFFFFFu : static_cast<uint32_t>(riffSize));
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, rf64_ ? "ds64" : "JUNK", 4);
    PutU32(h + 16, kDs64Size);
    if (rf64_) {
      PutU64(h + 20, riffSize);
      PutU64(h + 28, dataBytes_);
      const uint16_t block = format_.nBlockAlign;  // a packed record: no references into it
      PutU64(h + 36, dataBytes_ / (block == 0 ? 1 : block));
      PutU32(h + 44, 0);  // no table
    }
    unsigned char* p = h + 20 + kDs64Size;
    p += PutFormat(p);
    std::memcpy(p, "data", 4);
    PutU32(p + 4, rf64_ ? 0xFFFFFFFFu : static_cast<uint32_t>(dataBytes_));
    if (pad != 0) {
      const unsigned char zero = 0;
      // Not data: the next data overwrites it.
      if (!WriteData(&zero, 1)) return false;
    }
    if (!SeekTo(0)) return false;
    if (!target_->Write(h, dataOffset_)) return Remember("write to");
    position_ = dataOffset_;
    headerCurrent_ = true;
    return true;
  }

  // The one header of a stream: sizes that say "unknown".
  bool WriteStreamHeader() {
    unsigned char h[64] = {};
    std::memcpy(h, "RIFF", 4);
    PutU32(h + 4, kUnknownDataSize + static_cast<uint32_t>(dataOffset_) - 8);
    std::memcpy(h + 8, "WAVE", 4);
    unsigned char* p = h + 12;
    p += PutFormat(p);
    std::memcpy(p, "data", 4);
    PutU32(p + 4, kUnknownDataSize);
    if (!target_->Write(h, dataOffset_)) return Remember("write to");
    position_ = dataOffset_;
    return true;
  }

  bool CutAfterHeader() {
    if (!target_->Cut(dataOffset_)) return Remember("write to");
    return true;
  }

  // Writes at the end of the data recorded so far.
  bool WriteData(const void* data, size_t size) {
    if (seekable_ && !SeekTo(dataOffset_ + dataBytes_)) return false;
    if (!target_->Write(data, size)) {
      position_ = UINT64_MAX;  // unknown after a partial write
      return Remember("write to");
    }
    position_ += size;
    return true;
  }

  bool SeekTo(uint64_t offset) {
    if (position_ == offset) return true;
    if (!target_->Seek(offset)) {
      position_ = UINT64_MAX;
      return Remember("seek in");
    }
    position_ = offset;
    return true;
  }

  // Keeps the text of the failure that just happened (errno still set).
  bool Remember(const char* what) {
    failureErrno_ = errno;
    failure_ = SystemFailure(what);
    return false;
  }

  // The recording stops at its first failure, which the caller reports.
  MMRESULT Failed() {
    failed_ = true;
    return Fail(MMSYSERR_ERROR, failure_);
  }

  std::string SystemFailure(const char* what) const {
    return std::string("Cannot ") + what + " the WAV recording \"" + path_ +
           "\": " + std::strerror(errno);
  }

  MMRESULT Fail(MMRESULT code, std::string text) {
    texts_[code] = std::move(text);
    return code;
  }

  std::mutex mutex_;
  const std::string path_;
  const std::unique_ptr<WavTarget> target_;
  const bool seekable_;
  const uint64_t riffLimit_;
  WAVEFORMATEX format_;
  bool formatFixed_;
  uint32_t fmtSize_ = 16;
  uint64_t dataOffset_ = 0;
  uint64_t dataBytes_ = 0;
  uint64_t position_ = 0;  // the target's position; UINT64_MAX when unknown
  bool rf64_ = false;
  bool headerCurrent_ = false;
  bool failed_ = false;
  std::string failure_;
  int failureErrno_ = 0;                   // the system's code of failure_
  std::map<MMRESULT, std::string> texts_;  // the latest text per code produced
};

class WavStream final : public UnpacedWaveOutStream {
 public:
  WavStream(std::shared_ptr<WavRecording> recording, const WAVEFORMATEX& format, WaveOutSink& sink)
      : UnpacedWaveOutStream(format, sink, false), recording_(std::move(recording)) {}

  using UnpacedWaveOutStream::Reopen;

 protected:
  MMRESULT Play(const WAVEHDR& header) override { return recording_->Append(header); }
  MMRESULT Closed() override { return recording_->Finish(); }

 private:
  std::shared_ptr<WavRecording> recording_;
};

class WavBackend final : public WaveOutBackend {
 public:
  WavBackend(const std::string& path, std::unique_ptr<WavTarget> target, uint64_t riffLimit)
      : recording_(std::make_shared<WavRecording>(path, std::move(target), riffLimit)) {}

  MMRESULT GetCaps(WAVEOUTCAPS& caps) override {
    caps = WAVEOUTCAPS{};
    caps.vDriverVersion = 0x0100;
    std::strncpy(caps.szPname, "Tonewell WAV recorder", sizeof caps.szPname - 1);
    caps.dwFormats = 0x0FFF;
    caps.wChannels = 2;
    caps.dwSupport = WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Query(const WAVEFORMATEX& format) override { return recording_->Check(format); }

  MMRESULT Open(const WAVEFORMATEX& format, WaveOutSink& sink,
                std::unique_ptr<WaveOutStream>& stream) override {
    const MMRESULT result = recording_->Begin(format);
    if (result != MMSYSERR_NOERROR) return result;
    std::unique_ptr<WavStream> spare = spare_.Take();
    if (spare) {
      spare->Reopen(format, sink);
    } else {
      spare = std::make_unique<WavStream>(recording_, format, sink);
    }
    stream = std::move(spare);
    return MMSYSERR_NOERROR;
  }

  // Every stream this backend opens is a WavStream; one closed stream is
  // kept for the next open, so recording a tone allocates nothing.
  void Recycle(std::unique_ptr<WaveOutStream> stream) override { spare_.Give(std::move(stream)); }

  std::string ErrorText(MMRESULT code) override { return recording_->ErrorText(code); }

 private:
  std::shared_ptr<WavRecording> recording_;
  SpareWaveOutStream<WavStream> spare_;
};

}  // namespace

std::unique_ptr<WavTarget> OpenWavFile(const std::string& path) {
  return std::make_unique<FileTarget>(path);
}

std::unique_ptr<WaveOutBackend> CreateWavWaveOutBackend(const std::string& path) {
  WavTargetOpener opener;
  uint64_t limit;
  {
    std::lock_guard<std::mutex> lock(gHooksMutex);
    opener = gOpener;
    limit = gRiffLimit;
  }
  std::unique_ptr<WavTarget> target = opener ? opener(path) : OpenWavFile(path);
  return std::make_unique<WavBackend>(path, std::move(target), limit);
}

void SetWavTargetOpener(WavTargetOpener open) {
  std::lock_guard<std::mutex> lock(gHooksMutex);
  gOpener = std::move(open);
}

void SetWavRiffLimit(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(gHooksMutex);
  gRiffLimit = bytes;
}

}  // namespace tw
