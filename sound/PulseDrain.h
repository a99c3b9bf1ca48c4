#pragma once
// The drain of the sound server's stream as a state machine: the states a
// drain goes through, the events that move it, and in one function every
// transition with what it asks of the stream. The stream (sound/Pulse.cpp)
// raises the events and carries out the actions; this holds no server
// object, so every path can be driven without a server.
//
// A drain is asked once sound was sent beyond what is known played; the
// server answers when it has played everything. Its deadline is the sound
// still queued, the latency and some slack. When it passes, the server is
// asked where it reads; while that moves on between two looks, the rest of
// the sound gets its time again; when it stood still, or the server did not
// answer the look, the drain is given up (the buffers end anyway and the
// next write goes to a new server stream).

namespace tw {

enum class DrainState {
  kIdle,      // no drain asked
  kDraining,  // a drain asked, its deadline running
  kHeld,      // a drain asked while the stream is corked: no deadline runs
  kProbing,   // the deadline passed: the server was asked where it reads
  kWatching,  // it read on since the last look: the rest of the sound's time runs
};

enum class DrainEvent {
  kSent,       // sound sent beyond what is known played, the stream not corked
  kDrained,    // the server said the drain finished
  kRefused,    // the server refused the drain (the stream still works)
  kDeadline,   // the deadline passed
  kReadOn,     // the look's answer: further on than at the last look (or a first look)
  kReadStill,  // the look's answer: where it read at the last look
  kNoAnswer,   // the look could not be asked, or failed
  kCorked,     // the stream was paused
  kUncorked,   // the stream was resumed
  kDropped,    // the stream was flushed, cleared or dropped: what was asked is moot
};

enum class DrainAction {
  kNone,         // the event does not apply in this state
  kAskDrain,     // ask for a drain, mark what it covers, set its deadline
  kSetDeadline,  // set the deadline for what is queued now (a look in flight is cancelled)
  kAskPosition,  // ask where the server reads; the answer gets a short deadline
  kWaitForRest,  // set the deadline to twice the rest of the sound plus slack
  kFinish,       // done: the buffers up to the drain's mark are played
  kGiveUp,       // give up: buffers done, server stream dropped, said once
  kStopClock,    // corked: the deadline and a look in flight stop
  kCancel,       // cancel the drain, a look and the deadline
};

struct DrainStep {
  DrainState next;
  DrainAction action;
  bool operator==(const DrainStep&) const = default;
};

// What `event` does to a drain in `state`: the only place where the state
// changes. An event that does not apply leaves the state as it is (kNone).
DrainStep NextDrainStep(DrainState state, DrainEvent event);

const char* DrainStateName(DrainState state);

}  // namespace tw
