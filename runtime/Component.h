#pragma once
// Base of the objects that carry named, streamable settings (the audio
// device objects). A component has an optional owner, which frees it, a
// name, a tag, and a flag that it is being destroyed so that its events stop
// firing during teardown.
//
// Streaming: a component lists its published properties (name, text value,
// whether it is stored) and, through DefineProperties, extra binary
// properties such as a player's wave data. runtime/ComponentStreaming
// writes and reads them in a readable text form.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Persistent.h"

namespace tw {

class TStream;

// One published property as streaming sees it. Get returns the value's text
// form; Set parses that form back (raising on a malformed value); Stored
// says whether the value differs from its default and is worth writing.
struct TPublishedProperty {
  std::string Name;
  std::function<std::string()> Get;
  std::function<void(const std::string&)> Set;
  std::function<bool()> Stored = [] { return true; };
};

// One extra binary property ("Data"). Write copies the bytes into the
// stream, Read takes them back from a stream holding exactly those bytes;
// HasData decides whether it is written at all.
struct TBinaryProperty {
  std::string Name;
  std::function<void(TStream&)> Write;
  std::function<void(TStream&)> Read;
  std::function<bool()> HasData;
};

class TComponent : public TPersistent {
 public:
  // The owner, when given, frees this component when it is freed itself.
  explicit TComponent(TComponent* Owner);
  ~TComponent() override;

  const char* ClassName() const override { return "TComponent"; }

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& Name) { name_ = Name; }
  int64_t Tag() const { return tag_; }
  void SetTag(int64_t Tag) { tag_ = Tag; }

  // True once destruction has begun. The most-derived destructor calls
  // Destroying() first, so events are quiet while its bases tear down.
  bool IsDestroying() const { return destroying_; }

  // Published properties in streaming order; the base gives Name and Tag.
  virtual void GetPublishedProperties(std::vector<TPublishedProperty>& Properties);
  // Extra binary properties; the base has none.
  virtual void DefineProperties(std::vector<TBinaryProperty>& Properties);

 protected:
  void Destroying() { destroying_ = true; }

 private:
  void InsertComponent(TComponent* Child);
  void RemoveComponent(TComponent* Child);

  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  std::string name_;
  int64_t tag_ = 0;
  bool destroying_ = false;
};

}  // namespace tw
