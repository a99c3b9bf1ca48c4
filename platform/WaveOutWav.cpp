#include "platform/WaveOutWav.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/WaveOutFormats.h"
#include "platform/WaveOutUnpaced.h"
#include "runtime/Exceptions.h"

namespace tw {
namespace {

void PutU16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void PutU32(unsigned char* p, uint32_t v) {
  PutU16(p, v & 0xFFFF);
  PutU16(p + 2, v >> 16);
}

// Writes all of [data, data + size) at offset, retrying short writes. Only
// one writer uses the file at a time (under the recording's mutex), so a
// seek and a write do what a positioned write does on every system.
bool WriteAt(int fd, const void* data, size_t size, uint64_t offset) {
  if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The file and what has been recorded into it, shared by the backend and
// every stream it opened (a stream may outlive a replaced backend).
class WavRecording {
 public:
  explicit WavRecording(std::string path) : path_(std::move(path)) {
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      throw EFOpenError("Cannot create the WAV recording \"" + path_ +
                        "\": " + std::strerror(errno));
    }
  }
  WavRecording(const WavRecording&) = delete;
  WavRecording& operator=(const WavRecording&) = delete;
  ~WavRecording() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (haveFormat_) WriteHeader();
    }
    close(fd_);
  }

  // Whether a stream of this format may record into the file.
  MMRESULT Check(const WAVEFORMATEX& format) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CheckLocked(format);
  }

  // Fixes the format on the first open and writes the header for it.
  MMRESULT Begin(const WAVEFORMATEX& format) {
    std::lock_guard<std::mutex> lock(mutex_);
    const MMRESULT result = CheckLocked(format);
    if (result != MMSYSERR_NOERROR || haveFormat_) return result;
    format_ = format;
    format_.cbSize = 0;
    haveFormat_ = true;
    headerSize_ = format.wFormatTag == WAVE_FORMAT_PCM ? 44 : 46;
    return WriteHeader();
  }

  // Appends the header's data, PlayCount times.
  MMRESULT Append(const WAVEHDR& header) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t total = PlayBytes(header);
    if (headerSize_ + dataBytes_ + total + 1 > 0xFFFFFFFFull) {
      return Fail(MMSYSERR_ERROR, "The WAV recording \"" + path_ +
                                      "\" is full: a WAV file cannot hold more than 4 GiB");
    }
    for (uint32_t i = 0, n = PlayCount(header); i < n; ++i) {
      if (!WriteAt(fd_, header.lpData, header.dwBufferLength, headerSize_ + dataBytes_)) {
        return Fail(MMSYSERR_ERROR, SystemFailure("write to"));
      }
      dataBytes_ += header.dwBufferLength;
    }
    return MMSYSERR_NOERROR;
  }

  // Brings the header's sizes up to date: the file is a complete WAV again.
  MMRESULT Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    return WriteHeader();
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
    if (haveFormat_ && !SameWaveFormat(format, format_)) {
      return Fail(WAVERR_BADFORMAT, "The WAV recording \"" + path_ + "\" holds " +
                                        DescribeFormat(format_) + "; it cannot also record " +
                                        DescribeFormat(format));
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT WriteHeader() {
    if (!haveFormat_) return MMSYSERR_NOERROR;
    unsigned char h[46];
    const uint32_t fmtSize = headerSize_ == 44 ? 16 : 18;
    const uint32_t pad = static_cast<uint32_t>(dataBytes_ & 1);
    std::memcpy(h, "RIFF", 4);
    PutU32(h + 4, static_cast<uint32_t>(headerSize_ - 8 + dataBytes_ + pad));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    PutU32(h + 16, fmtSize);
    PutU16(h + 20, format_.wFormatTag);
    PutU16(h + 22, format_.nChannels);
    PutU32(h + 24, format_.nSamplesPerSec);
    PutU32(h + 28, format_.nAvgBytesPerSec);
    PutU16(h + 32, format_.nBlockAlign);
    PutU16(h + 34, format_.wBitsPerSample);
    unsigned char* data = h + 20 + fmtSize;
    if (fmtSize == 18) PutU16(h + 36, 0);
    std::memcpy(data, "data", 4);
    PutU32(data + 4, static_cast<uint32_t>(dataBytes_));
    if (!WriteAt(fd_, h, headerSize_, 0)) return Fail(MMSYSERR_ERROR, SystemFailure("write to"));
    if (pad != 0) {
      const unsigned char zero = 0;
      if (!WriteAt(fd_, &zero, 1, headerSize_ + dataBytes_)) {
        return Fail(MMSYSERR_ERROR, SystemFailure("write to"));
      }
    }
    return MMSYSERR_NOERROR;
  }

  std::string SystemFailure(const char* what) {
    return std::string("Cannot ") + what + " the WAV recording \"" + path_ +
           "\": " + std::strerror(errno);
  }

  MMRESULT Fail(MMRESULT code, std::string text) {
    texts_[code] = std::move(text);
    return code;
  }

  std::mutex mutex_;
  const std::string path_;
  int fd_ = -1;
  bool haveFormat_ = false;
  WAVEFORMATEX format_{};
  uint32_t headerSize_ = 0;
  uint64_t dataBytes_ = 0;
  std::map<MMRESULT, std::string> texts_;  // the latest text per code produced
};

class WavStream final : public UnpacedWaveOutStream {
 public:
  WavStream(std::shared_ptr<WavRecording> recording, const WAVEFORMATEX& format, WaveOutSink& sink)
      : UnpacedWaveOutStream(format, sink, false), recording_(std::move(recording)) {}

 protected:
  MMRESULT Play(const WAVEHDR& header) override { return recording_->Append(header); }
  MMRESULT Closed() override { return recording_->Finish(); }

 private:
  std::shared_ptr<WavRecording> recording_;
};

class WavBackend final : public WaveOutBackend {
 public:
  explicit WavBackend(const std::string& path) : recording_(std::make_shared<WavRecording>(path)) {}

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
    stream = std::make_unique<WavStream>(recording_, format, sink);
    return MMSYSERR_NOERROR;
  }

  std::string ErrorText(MMRESULT code) override { return recording_->ErrorText(code); }

 private:
  std::shared_ptr<WavRecording> recording_;
};

}  // namespace

std::unique_ptr<WaveOutBackend> CreateWavWaveOutBackend(const std::string& path) {
  return std::make_unique<WavBackend>(path);
}

}  // namespace tw
