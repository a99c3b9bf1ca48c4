#include "driver/LiveView.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/unit_core_execute_quillmar.h"
#include "driver/BattleLoop.h"
#include "driver/Interrupt.h"
#include "driver/WarriorName.h"
#include "sound/Pacing.h"

namespace tw {

namespace {

// Tones are 44100 Hz stereo: two samples per frame.
constexpr double kSamplesPerSecond = 88200.0;

}  // namespace

std::string WarriorDisplayName(const std::string& file_name) {
  // A pipe is read once, by the warrior's loading; a name is looked for in
  // regular files only.
  std::error_code error;
  if (!std::filesystem::is_regular_file(file_name, error)) return WarriorNameOfText({}, file_name);
  std::ifstream in(file_name, std::ios::binary);
  std::string text;
  // Warrior files are short; a huge file is not read to its end for a name.
  std::string line;
  for (int n = 0; n < 1000 && std::getline(in, line); ++n) text += line + '\n';
  return WarriorNameOfText(text, file_name);
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
