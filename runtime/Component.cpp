#include "runtime/Component.h"

#include <algorithm>

namespace tw {

TComponent::TComponent(TComponent* Owner) : FOwner(Owner) {
  if (FOwner != nullptr) FOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  FDestroying = true;
  // Owned components go first, newest first; each one unlinks itself.
  while (!FComponents.empty()) {
    delete FComponents.back();
  }
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TComponent::GetPublishedProperties(std::vector<TPublishedProperty>& Properties) {
  Properties.push_back({"Name", [this] { return FName; },
                        [this](const std::string& v) { FName = v; },
                        [this] { return !FName.empty(); }});
  Properties.push_back({"Tag", [this] { return std::to_string(FTag); },
                        [this](const std::string& v) { FTag = std::stoll(v); },
                        [this] { return FTag != 0; }});
}

void TComponent::DefineProperties(std::vector<TBinaryProperty>& /*Properties*/) {}

void TComponent::InsertComponent(TComponent* Child) { FComponents.push_back(Child); }

void TComponent::RemoveComponent(TComponent* Child) {
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), Child),
                    FComponents.end());
}

}  // namespace tw
