// The persistent base: objects whose values can be copied with Assign.
#pragma once

#include <string>

namespace framework {

class TPersistent {
 public:
  virtual ~TPersistent() = default;

  // Copies source into this object. The base knows no copy and fails with
  // "Cannot assign a %s to a %s" (source class or nil, then this class).
  virtual void Assign(const TPersistent* source);
  virtual std::string ClassName() const { return "TPersistent"; }

 protected:
  virtual void AssignTo(TPersistent* dest) const;
  [[noreturn]] void AssignError(const TPersistent* source) const;
};

}  // namespace framework
