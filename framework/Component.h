// The component base: owner, name, state flags, loading and removal notices.
#pragma once

#include <string>
#include <vector>

#include "framework/Persistent.h"

namespace framework {

enum ComponentStateFlag : unsigned {
  csLoading = 0x1,
  csDesigning = 0x2,
  csDestroying = 0x4,
};

enum class TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  std::string ClassName() const override { return "TComponent"; }

  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  unsigned ComponentState() const { return state_; }
  void SetDesigning(bool on);

  // Marks the component as being destroyed. Derived destructors call it
  // first, so work they do on the way out can tell.
  void Destroying() { state_ |= csDestroying; }

  // Called once the stored configuration has been applied.
  virtual void Loaded() { state_ &= ~csLoading; }

  // Told when a component this one asked about (FreeNotification) or owns is removed.
  virtual void Notification(TComponent* component, TOperation operation);

  // Asks component to tell this one when it is removed.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

 private:
  void InsertComponent(TComponent* c);
  void RemoveComponent(TComponent* c);

  TComponent* owner_ = nullptr;
  std::string name_;
  unsigned state_ = 0;
  std::vector<TComponent*> components_;  // not owned: owners hold them by value
  std::vector<TComponent*> free_notifies_;
};

}  // namespace framework
