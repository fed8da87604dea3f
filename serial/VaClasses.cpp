#include "serial/VaClasses.h"

namespace serial {

void TVaPersistent::Changed() {
  if (update_count_ == 0 && on_change_) on_change_(*this);
}

void TVaPersistent::EndUpdate() {
  if (update_count_ > 0) --update_count_;
  Changed();
}

}  // namespace serial
