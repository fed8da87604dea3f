#include "framework/Component.h"

#include <algorithm>

namespace framework {

namespace {
void Erase(std::vector<TComponent*>& v, TComponent* c) {
  v.erase(std::remove(v.begin(), v.end(), c), v.end());
}
bool Contains(const std::vector<TComponent*>& v, TComponent* c) {
  return std::find(v.begin(), v.end(), c) != v.end();
}
}  // namespace

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Everyone who asked is told, and forgets us.
  const auto notifies = free_notifies_;
  for (TComponent* c : notifies) {
    Erase(c->free_notifies_, this);
    c->Notification(this, TOperation::opRemove);
  }
  if (owner_) owner_->RemoveComponent(this);
  for (TComponent* c : components_) c->owner_ = nullptr;
}

void TComponent::SetDesigning(bool on) {
  if (on)
    state_ |= csDesigning;
  else
    state_ &= ~csDesigning;
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove) Erase(free_notifies_, component);
}

void TComponent::FreeNotification(TComponent* component) {
  if (component == nullptr || component == this) return;
  if (!Contains(component->free_notifies_, this)) component->free_notifies_.push_back(this);
  if (!Contains(free_notifies_, component)) free_notifies_.push_back(component);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (component == nullptr) return;
  Erase(component->free_notifies_, this);
  Erase(free_notifies_, component);
}

void TComponent::InsertComponent(TComponent* c) {
  components_.push_back(c);
  Notification(c, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* c) {
  Notification(c, TOperation::opRemove);
  Erase(components_, c);
}

}  // namespace framework
