// The core view through curses, on a terminal given by its descriptor.
#include <curses.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <vector>

#include "view/ViewScreen.h"

#if defined(__SANITIZE_ADDRESS__)
// Each newterm leaves behind a small record of the curses library's own
// (its "prescreen", about 1.6 kB) that only a leak-checking build of the
// library frees, at exit. Not ours to free; one per view opened.
extern "C" const char* __lsan_default_suppressions() { return "leak:new_prescr\n"; }
#endif

namespace tw {

namespace {

// Curses installs handlers of its own at its first open for these signals
// when they are at their default. Its handlers draw from inside the signal,
// on whichever thread it lands, while the view's thread draws too; so they
// are kept out: the signals hold a handler of ours while curses opens, and
// get back what they had right after. Resizes are followed by asking the
// terminal's size at every frame; a suspend (Ctrl-Z) is handled below.
constexpr std::array<int, 4> kCursesSignals = {SIGWINCH, SIGTSTP, SIGTERM, SIGINT};

void Ignore(int) {}

// Ctrl-Z: the handler only notes it; the view's thread gives the terminal
// back, stops the process as the signal would have, and repaints once the
// process goes on.
std::atomic<bool> gSuspendAsked{false};
void OnSuspend(int) { gSuspendAsked.store(true); }

void Handle(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}

constexpr int kStatusRows = 2;
// Changed map characters a frame puts out at most (after the first). A
// changed character scattered among unchanged ones costs a cursor move and
// a colour change besides itself, about a microsecond on a busy 2-core
// machine, so this keeps every frame near a millisecond even when most of
// the map has changed since the last one.
constexpr int kChangeBudget = 1200;

class CursesScreen : public ViewScreen {
 public:
  explicit CursesScreen(int fd) : fd_(fd) {}
  ~CursesScreen() override { Close(); }

  bool Open() {
    for (std::size_t i = 0; i < kCursesSignals.size(); ++i) {
      sigaction(kCursesSignals[i], nullptr, &saved_[i]);
      if (saved_[i].sa_handler == SIG_DFL) Handle(kCursesSignals[i], Ignore);
    }
    const bool opened = OpenTerminal();
    for (std::size_t i = 0; i < kCursesSignals.size(); ++i) {
      sigaction(kCursesSignals[i], &saved_[i], nullptr);
    }
    // Ctrl-Z is ours while the view is up, unless the program ignores it.
    if (opened && saved_[1].sa_handler == SIG_DFL) {
      gSuspendAsked.store(false);
      Handle(SIGTSTP, OnSuspend);
      suspendHandled_ = true;
    }
    return opened;
  }

  bool OpenTerminal() {
    // Curses writes through a stream of its own on a copy of the descriptor
    // and reads from nowhere: the view takes no keys, so the program's
    // standard input is left as it is.
    const int out = dup(fd_);
    if (out < 0) return false;
    out_ = fdopen(out, "w");
    in_ = std::fopen("/dev/null", "r");
    if (out_ == nullptr || in_ == nullptr) {
      if (out_ == nullptr) close(out);
      return false;
    }
    screen_ = newterm(nullptr, out_, in_);
    if (screen_ == nullptr) return false;
    set_term(screen_);
    opened_ = true;
    noecho();       // keys typed during the battle do not smear the map
    typeahead(-1);  // and never cut a frame short
    curs_set(0);
    leaveok(stdscr, TRUE);
    if (has_colors() && start_color() == OK) {
      use_default_colors();
      init_pair(1, COLOR_CYAN, -1);
      init_pair(2, COLOR_YELLOW, -1);
      init_pair(3, COLOR_MAGENTA, -1);
      colours_ = true;
      // Untouched cells in grey where the terminal has it: a change between
      // two colours is one short code, while leaving "dim" resets all
      // attributes first, and a busy map changes rendition at every few cells.
      if (COLORS >= 16 && init_pair(4, 8, -1) == OK) untouched_ = COLOR_PAIR(4);
    }
    return true;
  }

  std::chrono::milliseconds FrameInterval() const override {
    return std::chrono::milliseconds(34);  // under 30 frames a second
  }

  void Draw(const BattleDescription& d, const BattleSnapshot& s, const FrameFigures& f) override {
    if (!opened_) return;
    if (gSuspendAsked.exchange(false)) Suspend();
    FollowWindowSize();
    const int rows = LINES;
    const int cols = COLS;
    if (rows <= 0 || cols <= 0) return;
    PutLine(0, StatusLine(d, s, cols), A_REVERSE);
    if (rows > 1) PutLine(1, HeardLine(d, s, f, cols), A_NORMAL);
    const MapLayout layout = LayoutMap(d.CoreCells, rows - kStatusRows, cols);
    ComposeMap(s, layout, glyphs_);
    const bool fresh = layout.Chars != shownLayout_.Chars || layout.Cols != shownLayout_.Cols;
    if (fresh) {
      // A new layout (the first frame, a resize): every row, whatever it costs.
      shown_.assign(glyphs_.size(), MapGlyph{'\0', -1, false});
      shownLayout_ = layout;
      nextRow_ = 0;
      if (kStatusRows + layout.Rows < rows) {
        move(kStatusRows + layout.Rows, 0);
        clrtobot();
      }
    }
    // Rows are put out in turn from where the last frame stopped, until the
    // frame's budget of changed characters is spent; the rest follow in the
    // next frames. A battle at full speed can change most of the map between
    // two frames, and the output of a change is what a frame costs.
    int budget = fresh ? layout.Chars : kChangeBudget;
    for (int k = 0; k < layout.Rows; ++k) {
      const int r = (nextRow_ + k) % layout.Rows;
      const int first = r * cols;
      const int n = std::min(cols, layout.Chars - first);
      int changed = 0;
      for (int i = first; i < first + n; ++i) changed += Differs(glyphs_[i], shown_[i]) ? 1 : 0;
      if (changed == 0) continue;
      if (changed > budget && budget < kChangeBudget) {
        nextRow_ = r;  // this row opens the next frame
        break;
      }
      budget -= changed;
      PutMapRow(r, first, n, cols);
    }
    wnoutrefresh(stdscr);
    doupdate();
  }

  void Finish(const BattleDescription&, const BattleSnapshot&, const FrameFigures&) override {
    Close();
  }

 private:
  // Gives the terminal back, stops the process with the default action of
  // SIGTSTP (the shell sees a stopped job), and takes the terminal again
  // when the process is continued: the next frame repaints it all.
  void Suspend() {
    // Other processes of the job (a pipeline, a subshell) stop at once and
    // the shell may take the terminal back before this runs; setting the
    // modes back would then stop the process for writing to a terminal it
    // no longer owns, half-way, and a later fg would stop it again here.
    struct sigaction ttou {};
    sigaction(SIGTTOU, nullptr, &ttou);
    Handle(SIGTTOU, SIG_IGN);
    endwin();
    sigaction(SIGTTOU, &ttou, nullptr);
    Handle(SIGTSTP, SIG_DFL);
    // To this thread: the process stops before raise returns. (Sent to the
    // process, it could still be pending when the handler is put back, and
    // come back as another request.)
    raise(SIGTSTP);
    Handle(SIGTSTP, OnSuspend);
    clearok(curscr, TRUE);
  }

  void FollowWindowSize() {
    winsize ws{};
    if (ioctl(fd_, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0 || ws.ws_col == 0) return;
    if (ws.ws_row != LINES || ws.ws_col != COLS) resizeterm(ws.ws_row, ws.ws_col);
  }

  // Padded rather than cleared, so a reversed bar spans the whole width.
  void PutLine(int y, std::string text, attr_t attr) {
    text.resize(static_cast<std::size_t>(COLS), ' ');
    attrset(attr);
    mvaddnstr(y, 0, text.c_str(), COLS);
    attrset(A_NORMAL);
  }

  static bool Differs(const MapGlyph& a, const MapGlyph& b) {
    return a.Char != b.Char || a.Owner != b.Owner || a.Next != b.Next;
  }

  void PutMapRow(int r, int first, int n, int cols) {
    row_.resize(static_cast<std::size_t>(cols) + 1);
    for (int i = 0; i < n; ++i) {
      row_[static_cast<std::size_t>(i)] = Cell(glyphs_[first + i]);
      shown_[first + i] = glyphs_[first + i];
    }
    row_[static_cast<std::size_t>(n)] = 0;
    mvaddchnstr(kStatusRows + r, 0, row_.data(), n);
    if (n < cols) {
      move(kStatusRows + r, n);
      clrtoeol();
    }
  }

  chtype Cell(const MapGlyph& g) const {
    const chtype ch = static_cast<unsigned char>(g.Char);
    if (g.Owner < 0) return ch | untouched_;
    chtype attr = colours_ ? COLOR_PAIR(g.Owner + 1) : A_NORMAL;
    if (g.Next) attr |= A_REVERSE | A_BOLD;
    return ch | attr;
  }

  void Close() {
    if (opened_) {
      endwin();
      opened_ = false;
    }
    if (suspendHandled_) {
      sigaction(SIGTSTP, &saved_[1], nullptr);
      suspendHandled_ = false;
    }
    if (screen_ != nullptr) {
      delscreen(screen_);
      screen_ = nullptr;
    }
    if (out_ != nullptr) std::fclose(out_);
    if (in_ != nullptr) std::fclose(in_);
    out_ = in_ = nullptr;
  }

  const int fd_;
  FILE* out_ = nullptr;
  FILE* in_ = nullptr;
  SCREEN* screen_ = nullptr;
  bool opened_ = false;
  bool suspendHandled_ = false;
  bool colours_ = false;
  chtype untouched_ = A_DIM;
  std::array<struct sigaction, kCursesSignals.size()> saved_{};
  std::vector<MapGlyph> glyphs_;
  std::vector<MapGlyph> shown_;  // what the map shows now
  MapLayout shownLayout_;
  int nextRow_ = 0;
  std::vector<chtype> row_;
};

}  // namespace

std::unique_ptr<ViewScreen> OpenCoreScreen(int fd) {
  auto screen = std::make_unique<CursesScreen>(fd);
  if (!screen->Open()) return nullptr;
  return screen;
}

}  // namespace tw
