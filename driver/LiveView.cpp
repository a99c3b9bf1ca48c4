#include "driver/LiveView.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/unit_core_execute_quillmar.h"
#include "driver/BattleLoop.h"
#include "driver/Interrupt.h"
#include "sound/Pacing.h"

namespace tw {

namespace {

constexpr std::size_t kMaxNameLength = 24;
// Tones are 44100 Hz stereo: two samples per frame.
constexpr double kSamplesPerSecond = 88200.0;

std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (shown.size() == kMaxNameLength) break;
    const auto u = static_cast<unsigned char>(c);
    shown += u < 0x20 || u >= 0x7F ? '?' : c;
  }
  return shown;
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string WarriorDisplayName(const std::string& file_name) {
  // A pipe is read once, by the warrior's loading; a name is looked for in
  // regular files only.
  std::error_code error;
  if (!std::filesystem::is_regular_file(file_name, error))
    return Shown(std::filesystem::path(file_name).stem().string());
  std::ifstream in(file_name, std::ios::binary);
  std::string line;
  // Warrior files are short; a huge file is not read to its end for a name.
  for (int n = 0; n < 1000 && std::getline(in, line); ++n) {
    if (line.size() >= 5 && line[0] == ';' &&
        (line.compare(1, 4, "name") == 0 || line.compare(1, 4, "NAME") == 0)) {
      const std::string name = Trimmed(line.substr(5));
      if (!name.empty()) return Shown(name);
    }
  }
  return Shown(std::filesystem::path(file_name).stem().string());
}

LiveView::LiveView(ViewSetting setting, const CommandLine& command_line, std::int32_t cycles,
                   int fd) {
  const ViewKind kind = ChooseViewKindOn(setting, fd);
  if (kind == ViewKind::kNone) return;
  BattleDescription description;
  description.Names = {WarriorDisplayName(command_line.Warrior1FileName),
                       WarriorDisplayName(command_line.Warrior2FileName)};
  description.CycleLimit = cycles;
  description.CoreCells = CoreSize;
  description.SecondsPerTone = SoundSamples / kSamplesPerSecond;
  description.Unpaced = !WaveOutputFromEnvironmentIsPaced();
  // Forced views fall back to plain lines on a terminal that cannot be
  // driven; auto draws nothing there.
  const ViewKind fallback = setting == ViewSetting::kAuto ? ViewKind::kNone : ViewKind::kPlain;
  view_ = std::make_unique<BattleView>(kind, fallback, std::move(description), fd);
  feed_ = std::make_unique<BattleFeed>(view_->Exchange());
}

LiveView::~LiveView() { Stop(); }

void LiveView::RunBattle(BattleState& state) {
  ran_ = true;
  if (feed_ == nullptr) {
    tw::RunBattle(state);
  } else {
    tw::RunBattle(state, *feed_);
  }
}

void LiveView::Stop() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  if (view_ == nullptr || stopped_) return;
  stopped_ = true;
  if (ran_) feed_->PublishFinal(InterruptRequested());
  view_->Stop();
}

void LiveView::GiveBackTerminal() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  if (view_ == nullptr || stopped_) return;
  stopped_ = true;
  view_->Stop();
}

}  // namespace tw
