#include "runtime/Component.h"

#include <algorithm>

namespace tw {

TComponent::TComponent(TComponent* Owner) : owner_(Owner) {
  if (owner_ != nullptr) owner_->InsertComponent(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  // Owned components go first, newest first; each one unlinks itself.
  while (!components_.empty()) {
    delete components_.back();
  }
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::GetPublishedProperties(std::vector<TPublishedProperty>& Properties) {
  Properties.push_back({"Name", [this] { return name_; },
                        [this](const std::string& v) { name_ = v; },
                        [this] { return !name_.empty(); }});
  Properties.push_back({"Tag", [this] { return std::to_string(tag_); },
                        [this](const std::string& v) { tag_ = std::stoll(v); },
                        [this] { return tag_ != 0; }});
}

void TComponent::DefineProperties(std::vector<TBinaryProperty>& /*Properties*/) {}

void TComponent::InsertComponent(TComponent* Child) { components_.push_back(Child); }

void TComponent::RemoveComponent(TComponent* Child) {
  components_.erase(std::remove(components_.begin(), components_.end(), Child), components_.end());
}

}  // namespace tw
