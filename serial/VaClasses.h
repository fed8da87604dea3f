// Bases of the port component: the component base and the settings base.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <type_traits>

#include "framework/Component.h"
#include "framework/Persistent.h"

namespace serial {

// A set of enumeration members held in a word, bit n for ordinal n.
template <typename E, typename Word>
class EnumSet {
 public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> members) {
    for (E m : members) bits_ |= Bit(m);
  }
  static constexpr EnumSet FromBits(Word bits) {
    EnumSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
  constexpr void Include(E m) { bits_ |= Bit(m); }
  constexpr void Exclude(E m) { bits_ &= static_cast<Word>(~Bit(m)); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr Word Bits() const { return bits_; }
  friend constexpr bool operator==(EnumSet a, EnumSet b) = default;

 private:
  static constexpr Word Bit(E m) { return static_cast<Word>(Word{1} << static_cast<unsigned>(m)); }
  Word bits_ = 0;
};

class TVaComponent : public framework::TComponent {
 public:
  using framework::TComponent::TComponent;
  std::string ClassName() const override { return "TVaComponent"; }
};

// Base of the settings objects: an update count and one change handler.
class TVaPersistent : public framework::TPersistent {
 public:
  using ChangeHandler = std::function<void(TVaPersistent& sender)>;

  std::string ClassName() const override { return "TVaPersistent"; }

  // Runs the change handler when no update bracket is open.
  void Changed();
  void BeginUpdate() { ++update_count_; }
  // Closes a bracket and notifies, also when nothing changed inside it.
  void EndUpdate();
  std::int32_t UpdateCount() const { return update_count_; }

  void SetOnChange(ChangeHandler handler) { on_change_ = std::move(handler); }

 private:
  std::int32_t update_count_ = 0;
  ChangeHandler on_change_;
};

}  // namespace serial
